// The end-to-end bench: runs the shipped iolink-update, unchanged, against virtual masters. In a
// private mount namespace it lays a fake sysfs tree over /sys, laid out as the kernel lays out a
// USB CDC-ACM device with the master's IDs, and a /dev whose ttyACMn nodes lead to the virtual
// masters' pseudo-terminals. Nothing changes on the host: the namespace's mounts end with its
// process, and the bench's files live in a temporary folder that it removes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/virtual_master.h"

// The USB side of a virtual master's device: its product ID, and whether the device has a
// product string at all.
struct BenchUsb {
    std::string idProduct = "0202";
    bool productString = true;
};

struct BenchRun {
    std::string out;  // every byte the updater wrote to standard output
    std::string err;
    int status = -1;  // exit status, or -1 when it did not exit normally
    int signal = 0;   // the signal that ended it, or 0
    bool timedOut = false;
    double wallSeconds = 0;  // from start to exit
    double cpuSeconds = 0;   // user + system time of the updater's process
};

class Bench {
  public:
    Bench();
    ~Bench();
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    // Why the bench cannot run here (no mount namespaces), or "" when it can.
    static std::string Unavailable();

    // A virtual master on /dev/ttyACM<n> (n counts from 0 in the order added), started, with its
    // sysfs entries. The master is unplugged and replugged with its device node and sysfs entry.
    VirtualMaster& AddMaster(const VmIdentity& identity, const BenchUsb& usb = {});
    // A USB serial device of another vendor on /dev/ttyUSB<n>, for the scan to pass over.
    void AddForeignDevice();
    VirtualMaster& Master(size_t index) { return *masters_.at(index)->vm; }
    // What an operator does at a replug prompt: unplugs the master and plugs it back in. Returns
    // once its device node leads to the new pseudo-terminal (false if that took over 5 s).
    bool ReplugMaster(size_t index);
    std::string TtyName(size_t index) const { return masters_.at(index)->tty; }

    // Called with the whole output so far whenever more arrives; returns bytes to type on the
    // updater's standard input ("" for none).
    using Watcher = std::function<std::string(const std::string& outSoFar)>;
    // Called with each piece of output as it arrives (for showing it live).
    using Echo = std::function<void(const std::string& piece)>;

    // Runs iolink-update with args; kills it after timeoutMs. Without a watcher its standard
    // input is at end of input from the start; with one it stays open until the run ends.
    BenchRun Run(const std::vector<std::string>& args, uint32_t timeoutMs,
                 const Watcher& watcher = {}, const Echo& echo = {});

    // The updater binary this bench runs: the shipped program built with placeholder writes on,
    // so that whole updates run with the placeholder images (or the one that IOLINK_E2E_UPDATER
    // names, run through the command in IOLINK_E2E_RUN_AS).
    static std::string UpdaterPath();
    // The same program built as it ships with placeholder images: placeholder writes off.
    static std::string RefusingUpdaterPath();
    // Runs that binary (or another) from now on.
    void UseUpdater(const std::string& path) { updater_ = path; }
    // Runs the updater through this command (for example setpriv to another user), or directly
    // when it is empty.
    void RunUpdaterAs(const std::vector<std::string>& prefix) { runAs_ = prefix; }
    // Sends sig to the process that Run or RunInNamespace is running (from a watcher).
    void Signal(int sig) const;
    // Runs any command in the bench's namespace, after the shell commands of setup.
    BenchRun RunInNamespace(const std::vector<std::string>& command, const std::string& setup,
                            uint32_t timeoutMs, const Watcher& watcher = {}, const Echo& echo = {});
    // The sysfs path (below /sys) of master index's tty device.
    std::string TtySysPath(size_t index) const;

  private:
    struct Device {
        std::unique_ptr<VirtualMaster> vm;
        std::string tty;
        std::string usbDir;  // sysfs USB device folder, relative to the tree's root
    };
    void Plug(const Device& device, bool plugged, const std::string& slavePath);

    std::string root_;
    std::string updater_ = UpdaterPath();
    std::vector<std::string> runAs_;
    std::vector<std::unique_ptr<Device>> masters_;
    int running_ = -1;  // the process of the run in progress
    unsigned usbCount_ = 0;
    unsigned foreignCount_ = 0;
};

// Runs command (in a process group of its own) and collects its output; kills the group after
// timeoutMs. Standard input as for Bench::Run. *started (if given) is set to its process ID.
BenchRun RunProcess(const std::vector<std::string>& command, uint32_t timeoutMs,
                    const Bench::Watcher& watcher = {}, const Bench::Echo& echo = {},
                    int* started = nullptr);
