// The firmware update procedures: main firmware for 3.x and 2.x masters, the replug procedure for
// 2.0.1 to 2.0.9, and the IO-Link stack. Each prints its own progress and failures.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <iosfwd>
#include <span>
#include <string>
#include <vector>

#include "images/images.h"
#include "services/services.h"

// ---- Console ----

// printf-style checking of the format strings below (MinGW: the C library's own printf family).
#if defined(__MINGW_PRINTF_FORMAT)
#define IOLINK_PRINTF_LIKE(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#else
#define IOLINK_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#endif

// Standard output, printf-style: the run's own text.
void Console_Print(const char* format, ...) IOLINK_PRINTF_LIKE(1, 2);

// One line on standard error: "iolink-update: ", the text and a line end, written at once. Where
// standard output and standard error share a terminal and standard output has left a line open
// (progress marks, a prompt), the line begins with a line end of its own, on standard error.
void Console_Tell(const char* format, ...) IOLINK_PRINTF_LIKE(1, 2);

// Whether the last text written to standard output left its line open.
bool Console_LineOpen();

// From now on the run's own text (Console_Print, and std::cout while a ConsoleTracking lives)
// goes to standard error, so that standard output can carry one document alone (--json).
void Console_TextToStandardError();

// Writes a document to standard output and flushes it; false when the write failed.
bool Console_WriteDocument(const std::string& document);

// For its lifetime the standard output stream object (std::cout) writes through the tracking of
// open lines as well; the run holds one.
class ConsoleTracking {
  public:
    ConsoleTracking();
    ~ConsoleTracking();
    ConsoleTracking(const ConsoleTracking&) = delete;
    ConsoleTracking& operator=(const ConsoleTracking&) = delete;

  private:
    std::streambuf* saved_;
};

// ---- Main firmware and IO-Link stack updates ----

// The buffer a main-firmware image is expanded or copied into and sent from.
extern std::array<uint8_t, kMain3WindowSize> workBuffer;

// Main-firmware images go out in writes of at most 64 bytes, committed in blocks of 8 KB.
constexpr uint32_t kMainChunkBytes = 64;
constexpr uint32_t kMainBlockBytes = 8192;

// The 8 KB blocks that a download of `bytes` commits.
constexpr uint32_t MainBlockCount(uint32_t bytes) {
    return (bytes + kMainBlockBytes - 1) / kMainBlockBytes;
}

// Where the next write of a main-firmware image comes from and goes to.
struct ImageCursor {
    uint32_t cursor = 0;     // position in workBuffer of the next byte to send
    uint32_t remaining = 0;  // bytes still to send
    uint32_t address = 0;    // flash address of the next write
    uint32_t blocks = 0;     // blocks committed so far (for the progress of a stop request)
};

// The result of a chunk loop that stopped because a write would read beyond workBuffer: above
// every status byte and the boot loader's 0x1000, so that it counts as a failure like them.
constexpr int32_t kImageBeyondBuffer = 0x2000;

// The chunk loop of one 8 KB block: writes of at most 64 bytes (the last one raised to a multiple
// of 16) from workBuffer until the block holds 8192 bytes or nothing remains, with a progress dot
// at every eighth write from the fourth. Returns 0 when every write was accepted; otherwise the
// failed write's result, or kImageBeyondBuffer when the next write would read beyond workBuffer,
// after printing its message with linePrefix ("" or "\n") before it. Nothing is committed here.
int32_t WriteImageChunks(int32_t slot, uint8_t format, ImageCursor& at, const char* linePrefix);

// The 2.x image that a row's mainChoiceV2 names (1-based), or nullptr when it names none.
const FirmwareDescriptor* ChosenV2Image(uint8_t mainChoiceV2);

// Copies a 2.x image to the start of workBuffer, stamps it, and returns the bytes to send.
uint32_t LoadV2Image(const FirmwareDescriptor& descriptor);

void UpdateMainFirmwareV3(uint8_t row);
void UpdateMainFirmwareV2(uint8_t row);
void UpdateMainFirmwareV2Replug(uint8_t row);
// 0 on success, 1 on failure.
int32_t UpdateStack(uint8_t row);
// The same with another stack image (UpdateStack passes stackRecords).
int32_t UpdateStackWith(uint8_t row, std::span<const FirmwareRecord> records);

// Verdict of the boot loader on the last long step: 0 success, 1 failure, 2 no verdict within 20
// polls, any other value the code of an unexpected event.
int32_t WaitBootResult(int32_t slot, bool busyTolerant);

// Waits for the updated master (its USB identity, and the port name it had) to come back, then
// identifies the first master found. Fills mainReport's read-back from the updated master alone.
void WaitForMaster(const UsbIdentity& usb, const char* portName);

// ---- What the procedures take, counted from the carried images ----

// About how long each procedure takes against a master that answers at once (the virtual
// master), in milliseconds: the blocks, chunks or steps that the image it sends gives, their
// verdicts, and the procedure's fixed waits (a main firmware's restart and its rescan, the replug
// procedure's countdowns; not the operator's replugs).
uint32_t ExpectedMsMainFirmwareV3();
uint32_t ExpectedMsMainFirmwareV2(const FirmwareDescriptor& descriptor);
uint32_t ExpectedMsReplug(const FirmwareDescriptor& descriptor);
uint32_t ExpectedMsStack();

// The bytes of a 2.x image that an update sends: its length, never more than its buffer holds.
inline uint32_t V2ImageBytes(const FirmwareDescriptor& descriptor) {
    return descriptor.length < kMaxV2ImageLength ? descriptor.length : kMaxV2ImageLength;
}

// The replug procedure's transfers of a 2.x image: one per 8 KB block (an empty image still
// takes one, with an empty block).
inline uint32_t ReplugTransferCount(const FirmwareDescriptor& descriptor) {
    const uint32_t blocks = MainBlockCount(V2ImageBytes(descriptor));
    return blocks == 0 ? 1 : blocks;
}

// The prompts to unplug and replug the master that the replug procedure asks with a 2.x image:
// after the erase, after each transfer and after the swap.
inline uint32_t ReplugPromptCount(const FirmwareDescriptor& descriptor) {
    return ReplugTransferCount(descriptor) + 2;
}

// ---- What the procedures send of each carried image ----

// The bytes an update sends of an image, in the order it sends them, with the programming stamp
// field as the image carries it (the stamp is the time of each writing, so a digest of what is
// sent could never be compared): the 3.x image's 128 KB window without the range it never writes;
// the 2.x image's bytes, without the pad of its last write; the IO-Link stack's chunks, then its
// eight identification bytes. A record's digest of each image is taken over these.
std::vector<uint8_t> Main3SentBytes();
std::vector<uint8_t> Main2SentBytes(const FirmwareDescriptor& descriptor);
std::vector<uint8_t> StackSentBytes();

// ---- What a procedure achieved ----

enum class ProcedureEnd : uint8_t {
    notRun,   // the procedure has not run
    written,  // every step was accepted (main firmware: swapped; IO-Link stack: finished)
    failed,   // a step failed; its message was printed
    stopped,  // a stop request (or a prompt nobody can answer) ended it at a safe point
};

// What the last run of a procedure achieved, for the run's summary on standard error.
struct UpdateReport {
    ProcedureEnd end = ProcedureEnd::notRun;
    const char* step = "";    // where it failed or stopped, e.g. "at the erase" (static text)
    const char* state = "";   // the master's state then and what to do next (static text)
    bool identified = false;  // the master identified itself after the update
    MasterInfo info{};        // ... with these versions
};

// Records how a procedure ended in its report: where (a static text such as "at the erase") and
// the master's state then (also static).
void UpdateReport_Set(UpdateReport& report, ProcedureEnd end, const char* step, const char* state);

// The state of a master that a procedure left before writing anything.
constexpr const char* kMasterUnchanged = "nothing was written; the master keeps its firmware.";

// Filled by UpdateMainFirmwareV3, UpdateMainFirmwareV2 and UpdateMainFirmwareV2Replug.
extern UpdateReport mainReport;
// Filled by UpdateStack.
extern UpdateReport stackReport;

// ---- Stop requests and the phases that rewrite flash ----

// Exit code of a chunk loop or verdict wait that a closing console cut short (no message printed):
// above every status byte, the boot loader's 0x1000 and kImageBeyondBuffer.
constexpr int32_t kStoppedAtOnce = 0x3000;

// A stop was requested: by the operator (a signal, a console event) or by a write to standard
// output that failed (a closed pipe or terminal).
bool Stop_Requested();

// The system ends the process within seconds whatever it does (a Windows console being closed):
// even a phase that rewrites flash stops after the exchange in flight.
bool Stop_Urgent();

// Marks the start of a phase that rewrites the master's flash and must finish once started:
// what ("the master's flash is being rewritten"), its unit ("block") and how many there are,
// and the milliseconds one unit and the end of the phase take. A stop request in it is deferred:
// Stop_Progress announces it on standard error, with how far the phase is.
void Stop_BeginCritical(const char* what, const char* unit, uint32_t units, uint32_t msPerUnit,
                        uint32_t msAtEnd);
// The phase has done `done` units; announces any stop request made since the last call.
void Stop_Progress(uint32_t done);
// Announces any stop request made since the last call, with the progress given last.
void Stop_Announce();
void Stop_EndCritical();

// A phase that rewrites flash, from its construction to the end of its scope (Stop_BeginCritical
// and Stop_EndCritical), so that no way out of it leaves the phase open.
class CriticalPhase {
  public:
    CriticalPhase(const char* what, const char* unit, uint32_t units, uint32_t msPerUnit,
                  uint32_t msAtEnd) {
        Stop_BeginCritical(what, unit, units, msPerUnit, msAtEnd);
    }
    ~CriticalPhase() { Stop_EndCritical(); }
    CriticalPhase(const CriticalPhase&) = delete;
    CriticalPhase& operator=(const CriticalPhase&) = delete;
};

// ---- Hints for a port that cannot be opened ----

// One line on standard error that names the port, why IOL_Create could not open it (createResult
// IOL_ERR_OPEN or IOL_ERR_CONFIGURE, the cause as that call recorded it) and what to do. Other
// results print nothing.
void PrintOpenHint(const char* portName, int32_t createResult, const SerialOpenFailure& why);
// A master's port that a scan could not open, and why (for the operator's hint).
constexpr size_t kScanFailureRows = 10;
struct ScanFailure {
    char portName[kLinkPortNameSize];
    int32_t createResult;
    SerialOpenFailure why;
};

struct ScanFailures {
    std::array<ScanFailure, kScanFailureRows> rows;
    uint8_t count;
};

// The hint for every master's port that a scan could not open.
void PrintScanHints(const ScanFailures& failures);
