// The updater application: command line, inventory of the found masters, the selection of the
// update to apply, the discovery scan and the run sequence.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "images/images.h"
#include "platform/platform.h"

// ---- Command line ----

// Which updates the selection may choose; set by ParseCommandLine.
struct UpdateOptions {
    uint8_t mainIfOlder = 1;
    uint8_t mainIfSame = 1;
    uint8_t mainIfNewer = 1;
    uint8_t stackIfOlder = 1;
    uint8_t stackIfSame = 0;
    uint8_t stackIfNewer = 1;
};

extern UpdateOptions updateOptions;

// Applies the options to updateOptions; true when it printed the help (-?, and /?, -h, --help).
bool ParseCommandLine(int argc, const char* const* argv);
void PrintHelp();

// The long arguments, each an exact, case-sensitive argument taken wherever it stands. They only
// ask, or change what the run tells; none of them writes into a master.
struct RunRequest {
    bool version = false;           // --version: the program's and the carried images' versions
    bool list = false;              // --list: the masters and what a run would do with each
    bool exitCode = false;          // --exit-code: the exit status tells the outcome
    bool machineOutput = false;     // a program reads the answer (--exit-code): no pause at the end
    const char* refused = nullptr;  // the first other argument that begins with "--"
};

// Reads the long arguments; prints nothing.
RunRequest ParseRunRequest(int argc, const char* const* argv);

// Exit statuses with --exit-code, from the run's outcome alone, as the result line tells it;
// without it every run ends with 0, or, when the result is "stopped" by a stop signal, as that
// signal would. 0: updated: every chosen update written (and verified where it can be), or a run
// that only asks; 1: failed: a step failed, or the master came back with other versions or not at
// all; 2: nothing written (no master, none or several to update, -s, a placeholder build); 3:
// stopped before the run finished (a stop request, no key at a prompt); 4: an unknown argument
// beginning with "--" was refused and nothing done.
constexpr int kExitUpdated = 0;
constexpr int kExitFailed = 1;
constexpr int kExitNothingWritten = 2;
constexpr int kExitStopped = 3;
constexpr int kExitRefused = 4;

// ---- Inventory and selection ----

// Port names of up to 9 characters: wider than the seven that "COMnnnn" needs, so that POSIX
// names such as ttyACM10 fit as well; the link table takes the same length.
constexpr size_t kMasterPortNameSize = 10;
constexpr uint8_t kMasterRows = 5;

struct MasterEntry {
    char portName[kMasterPortNameSize];
    char editionName[30];
    char editionCode[4];
    char versionText[20];
    int8_t mainVersion[3];
    int8_t stackVersion[3];
    uint8_t stackChoice;
    uint8_t mainChoiceV2;  // 1-based position in firmwareDescriptors, or 0
    uint8_t mainChoiceV3;  // 1-based position in firmwareDescriptors, or 0
    uint8_t mainVariant;   // 0: UpdateMainFirmwareV2Replug, 1: UpdateMainFirmwareV2
};

struct MasterTable {
    std::array<MasterEntry, kMasterRows> rows;
    uint8_t masterCount;
    uint8_t updateableCount;
};

extern MasterTable masterTable;

// (v[0] * 256 + v[1]) * 256 + v[2], each byte signed.
int32_t VersionNumber(const int8_t v[3]);

// The same of three unsigned version bytes (a master's identification, an image's descriptor).
int32_t VersionNumber(const uint8_t v[3]);

// A packed version as the selection compares it: "major.minor.patch" in decimal.
std::string VersionText(int32_t version);

// The image versions a selection compares with.
struct ImageVersions {
    int32_t stack;  // GetStackImageVersion: 0 when the stack image has no version record
    int32_t main3;  // GetMain3ImageVersion
    std::span<const FirmwareDescriptor> descriptors;
};

// The images built into the program.
ImageVersions CarriedImages();

// The version of a 2.x image, packed as VersionNumber packs a master's.
int32_t DescriptorVersion(const FirmwareDescriptor& descriptor);

// Which updates apply to one master: the choice fields of a row, and whether its main firmware is
// too old (below 2.0.0) for any update.
struct UpdateDecision {
    uint8_t stackChoice;
    uint8_t mainChoiceV2;
    uint8_t mainChoiceV3;
    uint8_t mainVariant;
    bool tooOld;
};

// The decision for entry under options, against images; changes nothing and prints nothing.
UpdateDecision DecideUpdate(const MasterEntry& entry, const UpdateOptions& options,
                            const ImageVersions& images);

// Decides for one row which updates apply, against the images built into the program.
void SelectUpdate(uint8_t row);
// The same decision against the given image versions.
void SelectUpdateWith(uint8_t row, const ImageVersions& images);
void SetEditionName(uint8_t row);

// ---- Discovery scan ----

constexpr int32_t kScanPorts = 10;

// A master's port that the last scan could not open, and why (for the operator's hint).
struct ScanFailure {
    char portName[kMasterPortNameSize];
    int32_t createResult;
    SerialOpenFailure why;
};

struct ScanFailures {
    std::array<ScanFailure, kScanPorts> rows;
    uint8_t count;
};

// Filled by every ScanMasters (emptied at its start). The scan prints no hints itself: the run
// prints them for its first scan, the wait for a restarting master only if it never comes back.
extern ScanFailures scanFailures;

// Appends a row to masterTable for every attached master that identifies itself. A stop request
// ends the scan before the next port.
void ScanMasters();

// Cuts the port name out of a friendly name such as "IO-Link USB Master (ttyACM0)", in place:
// the name after the "(" of the platform's marker, up to the next ")". nullptr when the marker or
// the ")" is missing.
char* TakePortName(char* friendlyName);

// ---- Run sequence ----

// Whether a build that carries the placeholder images (imagesArePlaceholders) may write them into
// a master. The shipped program refuses; the tests, the demo and the benchmark allow it.
enum class PlaceholderWrites : uint8_t { refused, allowed };

// What a placeholder build that refuses prints instead of dispatching the chosen updates.
constexpr const char* kPlaceholderRefusal =
    "This build carries placeholder firmware images: nothing was written. To update masters, "
    "build with the real images: cmake -DIOLINK_FIRMWARE_DIR=<folder of real images>\n";

// ---- What a run tells beyond the specified output ----

// --version: the program's version, the carried images' versions, and for placeholder images a
// line that says what the build does with them. On standard output.
void PrintVersion(const ImageVersions& images, bool placeholders,
                  PlaceholderWrites placeholderWrites);

// --list: one row per identified master on standard output (port, edition, versions, and what a
// run with the given options would do with it and why). The selection must not have run.
void PrintMasterList(const UpdateOptions& options, const ImageVersions& images, bool refusedBuild);

// "ttyACM0 (edition SE, main 3.0.9, stack 1.3.0)": the versions as the selection compares them.
std::string DescribeMaster(const MasterEntry& entry);
// What an update that the decision chose writes: "main firmware 3.0.9 -> 3.0.10".
std::string WhatAnUpdateWrites(const MasterEntry& entry, const UpdateDecision& decision,
                               const ImageVersions& images);
// Why a decision that chose nothing chose nothing: "only masters of edition SE are updated".
std::string WhyNothingIsWritten(const MasterEntry& entry, const UpdateDecision& decision,
                                const ImageVersions& images);

// The whole program: parse, scan, select, report, dispatch. Returns the exit status: 0, or with
// --exit-code one of the kExit values. A run stopped by a signal ends as that signal would.
int RunUpdater(int argc, const char* const* argv, PlaceholderWrites placeholderWrites);
