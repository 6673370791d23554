// Command line of iolink-virtual-master: identity, timing and fault options, and the dump of
// what the simulator received and holds in flash.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sim/virtual_master.h"

struct VmOptions {
    VmIdentity identity;
    bool hasAfterUpdate = false;
    VmIdentity afterUpdate;
    bool bootMode = false;
    VmTiming timing;
    std::vector<std::pair<uint8_t, VmFault>> faults;
    std::string dumpDir;
    std::string linkPath;
    bool useStdin = true;
    bool help = false;
};

// Parses the arguments (without the program name). False with `error` set on a bad option.
bool VmOptions_Parse(const std::vector<std::string>& args, VmOptions& options, std::string& error);

// Parses one fault description "TYPE:key[=value],..." (see the help text).
bool VmFault_Parse(const std::string& text, uint8_t& type, VmFault& fault, std::string& error);

const char* VmOptions_Help();

// Applies identity, boot mode, timing and faults to a simulator.
void VmOptions_Apply(const VmOptions& options, VirtualMaster& vm);

// Writes into dir: received.txt (one frame a line, hex bytes separated by blanks),
// flash3.bin, flash2.bin, stack.bin, stackid.bin and violations.txt. False if a file could not
// be written.
bool Vm_WriteDump(const VirtualMaster& vm, const std::string& dir);

// One frame as hex bytes separated by blanks ("05 00 02 67 00").
std::string Vm_HexLine(const Bytes& frame);
