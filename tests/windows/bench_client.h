// The Windows side of the Wine bench (host/wine_bench.cpp): the port names it hands over, the
// control port through which a test drives the virtual master, the dump of what the master
// received and holds in flash, and captured standard output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

using Bytes = std::vector<uint8_t>;

// True when the program runs under Wine rather than on Windows itself.
bool RunningUnderWine();

// The master's COM port name ("COM5"), or "" when the program was not started by the bench.
std::string BenchMasterPort();

// The control connection to the bench. Every call waits (bounded) for the bench's answer.
class BenchControl {
  public:
    BenchControl() = default;
    ~BenchControl();
    BenchControl(const BenchControl&) = delete;
    BenchControl& operator=(const BenchControl&) = delete;

    // Opens the control port named by the bench; false when there is none.
    bool Open();
    // Sends one command line; true when the bench answered "ok". The answer's text goes to
    // *answer when given.
    bool Command(const std::string& line, std::string* answer = nullptr);

    // A fresh master with iolink-virtual-master's options (e.g. "--main 2.1.7 --stack 1.2.0").
    bool Restart(const std::string& options = "") { return Command("restart " + options); }

    // Writes the dump and reads it back.
    std::vector<Bytes> Received();
    Bytes Flash3();
    Bytes Flash2();
    Bytes StackFlash();
    Bytes StackIdRecord();
    std::string Violations();

  private:
    bool Dump();
    SerialPort* port_ = nullptr;
};

// Points the C runtime's standard output at a file for the object's lifetime. The file is
// binary, so the text is seen as the program wrote it, before any line-end translation.
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    std::string Text();

  private:
    void Restore();
    std::string path_;
    int file_ = -1;
    int saved_ = -1;
};
