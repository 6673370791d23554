// The updater application: command line, inventory of the found masters, the selection of the
// update to apply, the discovery scan and the run sequence.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "images/images.h"
#include "link/link.h"
#include "platform/platform.h"
#include "update/update.h"

// ---- Command line ----

// Which updates the selection may choose; set by ParseCommandLine. "Newer" is the master's
// version against the image's: choosing it writes an image older than what the master runs.
struct UpdateOptions {
    uint8_t mainIfOlder = 1;
    uint8_t mainIfSame = 1;
    uint8_t mainIfNewer = 1;
    uint8_t stackIfOlder = 1;
    uint8_t stackIfSame = 0;
    uint8_t stackIfNewer = 1;
    // --no-downgrade: no image older than the master's is chosen, whatever the flags above say.
    // Taken wherever it stands; -s does not clear it.
    uint8_t noDowngrade = 0;
};

extern UpdateOptions updateOptions;

// Applies the options to updateOptions (and --no-downgrade); true when it printed the help (-?,
// and /?, -h, --help).
bool ParseCommandLine(int argc, const char* const* argv);
void PrintHelp();

// The long arguments, each an exact, case-sensitive argument taken wherever it stands. They ask,
// change what the run tells, or narrow which master it concerns; none of them makes a run write
// what it would not write without them.
constexpr size_t kRefusedWhySize = 96;  // every reason whole (options.cpp checks its texts)
struct RunRequest {
    bool version = false;           // --version: the program's and the carried images' versions
    bool list = false;              // --list: the masters and what a run would do with each
    bool exitCode = false;          // --exit-code: the exit status tells the outcome
    const char* port = nullptr;     // --port NAME: the run concerns the named master alone
    bool json = false;              // --json: standard output carries one JSON document alone
    const char* log = nullptr;      // --log FILE: a run appends its record to FILE
    bool machineOutput = false;     // a program reads the answer (--exit-code): no pause at the end
    const char* refused = nullptr;  // the first argument refused: another one beginning with
                                    // "--", an option without its value, or one given twice; a
                                    // long option's name after one dash, -v or -V; an argument
                                    // beginning with "/" other than "/?"
    char refusedWhy[kRefusedWhySize] = "";  // why, for the operator ("unknown option", ...)
};

// Reads the long arguments, and refuses the spellings that would otherwise be read as a letter
// option or ignored, so that a run that writes starts; prints nothing. An option that takes a
// value takes it from the next argument (--port ttyACM1) or after "=" (--port=ttyACM1).
RunRequest ParseRunRequest(int argc, const char* const* argv);

// Whether argv[i] is the value of the option before it (--port NAME): such an argument is that
// option's alone, never read as an option of its own.
bool IsOptionValue(int i, const char* const* argv);

// Exit statuses with --exit-code, from the run's outcome alone, as the result line tells it;
// without it every run ends with 0, or, when the result is "stopped" by a stop signal, as that
// signal would. 0: updated: every chosen update written (and verified where it can be), or a run
// that only asks; 1: failed: a step failed, or the master came back with other versions or not at
// all; 2: nothing written (no master, none or several to update, -s, a placeholder build); 3:
// stopped before the run finished (a stop request, no key at a prompt); 4: an argument was refused
// (an unknown one beginning with "--", a misspelt option) and nothing done.
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
    UsbIdentity usb;  // the master's USB serial number and location, for telling masters apart
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

// Which updates apply to one master: the choice fields of a row, whether its main firmware is
// too old (below 2.0.0) for any update, and which image --no-downgrade kept from being chosen
// because it is older than what the master runs (the options chose it otherwise).
struct UpdateDecision {
    uint8_t stackChoice;
    uint8_t mainChoiceV2;
    uint8_t mainChoiceV3;
    uint8_t mainVariant;
    bool tooOld;
    bool mainNotDowngraded;
    bool stackNotDowngraded;
};

// The decision recorded in a row's choice fields.
UpdateDecision DecisionOf(const MasterEntry& entry);

// Whether a decision chose any update: the row is "updateable", listed with the arrow.
bool ChoosesAnUpdate(const UpdateDecision& decision);

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
static_assert(kScanFailureRows >= kScanPorts, "every port of a scan may fail to open");

// Which masters a scan opens: every one (as without --port), the one port that --port named, or,
// once that master's update has begun, the master with its USB identity whatever its port is now
// called (it re-enumerates when it restarts); none when --port named no master. A scan never
// opens a port that is not selected.
enum class ScanScope : uint8_t { allMasters, onePort, followedMaster, noPort };

struct ScanSelection {
    ScanScope scope;
    char portName[kMasterPortNameSize];  // onePort; followedMaster: the name it had
    UsbIdentity usb;                     // followedMaster
};

extern ScanSelection scanSelection;

// How a --port NAME stands to the attached masters.
enum class PortMatch : uint8_t { one, none, several };

// Finds the master that NAME names, opening no port: NAME is a port name as the scan prints it,
// a path that leads to the port's device node, or the master's USB serial number. With one match
// scanSelection selects its port. *found tells the operator what there is: the masters' ports
// with their serial numbers (none), or the ports that NAME names (several).
PortMatch SelectNamedPort(const char* name, std::string* found);

// From now on every scan opens only the master of entry, found by its USB identity.
void FollowMaster(const MasterEntry& entry);

// Appends a row to masterTable for every attached master that identifies itself, among those
// scanSelection selects. A stop request ends the scan before the next port. The scan prints no
// hints: the ports it could not open go to *failures (emptied first) when it is given.
void ScanMasters(ScanFailures* failures = nullptr);

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

// What a run with the given options would do with each master of table: write (what the
// decision chooses), or nothing, and why (another edition, a version, several masters that
// qualify, a placeholder build).
struct MasterOutlook {
    UpdateDecision decision;
    bool writes;
    std::string why;  // when it writes nothing
};
std::array<MasterOutlook, kMasterRows> MasterOutlooks(const MasterTable& table,
                                                      const UpdateOptions& options,
                                                      const ImageVersions& images,
                                                      bool refusedBuild);

// --list: one row per identified master on standard output (port, edition, versions, and what a
// run with the given options would do with it and why). The selection must not have run.
void PrintMasterList(const UpdateOptions& options, const ImageVersions& images, bool refusedBuild);

// "ttyACM0 (edition SE, main 3.0.9, stack 1.3.0)": the versions as the selection compares them.
std::string DescribeMaster(const MasterEntry& entry);
// "--port ttyACM0": the spelling of the option that selects the master of entry.
std::string PortOptionFor(const MasterEntry& entry);
// One image that a decision writes into a master.
struct PlannedWrite {
    const char* what;        // "main firmware", "IO-Link stack"
    int32_t from;            // the master's version
    int32_t to;              // the image's
    uint32_t replugPrompts;  // a 2.x image written step by step: its prompts to replug; else 0
};
// The images a decision writes, in the order the dispatch writes them (the IO-Link stack before
// a 2.x main firmware).
struct PlannedWrites {
    std::array<PlannedWrite, 2> items{};
    uint8_t count = 0;
};
PlannedWrites WritesOf(const MasterEntry& entry, const UpdateDecision& decision,
                       const ImageVersions& images);
// What an update that the decision chose writes: "main firmware 3.0.9 -> 3.0.10"; an image older
// than the master's is marked "(older than what the master runs)".
std::string WhatAnUpdateWrites(const MasterEntry& entry, const UpdateDecision& decision,
                               const ImageVersions& images);
// Why a decision that chose nothing chose nothing: "only masters of edition SE are updated".
std::string WhyNothingIsWritten(const MasterEntry& entry, const UpdateDecision& decision,
                                const ImageVersions& images);
// Why a scan identified no master: the masters' ports it could not open and why ("cannot open
// ttyACM0: no permission"), or "no master found" when it met none that failed to open.
std::string WhyNoMasterWasFound(const ScanFailures& failures);

// ---- The record of a run, for programs (--json) and the change log (--log) ----

// One update of the dispatch, as the result line tells it.
struct ProcedureRecord {
    const char* what;  // "main firmware", "IO-Link stack"
    int32_t before;    // the master's version before the run
    int32_t carried;   // the image's version
    const char* end;   // "written", "failed", "stopped", "not started"
    const char* step;  // where it failed or stopped ("" when written)
    bool readBack;     // the master reported its versions afterwards: after
    int32_t after;
};

struct RunRecord {
    bool scanned = false;           // masters holds the masters the first scan identified
    MasterTable masters{};          // ... with the selection's choices
    UpdateOptions options{};        // what a run would do with each depends on these
    bool refusedBuild = false;      // placeholder images that this build does not write
    const char* refused = nullptr;  // an argument refused, and why
    const char* refusedWhy = "";
    bool update = false;         // a run that may write (not --version or --list): the run part
    const char* port = nullptr;  // --port as given
    std::array<ProcedureRecord, 3> procedures{};
    uint8_t procedureCount = 0;
    const char* result = nullptr;   // the result line's word ...
    std::string details;            // ... and what follows it
    int status = 0;                 // the status --exit-code gives
    const char* logFile = nullptr;  // --log: the record file, and why it could not be written
    std::string logError;
};

// What the change log adds to the record: when the run started and ended, and its arguments.
struct RecordContext {
    UtcTime start;
    UtcTime end;
    int argc;
    const char* const* argv;
};

// The record as one JSON document (format 1), indented, with a line end.
std::string RecordDocument(const RunRecord& record);
// The record as one line of the change log: the document with the times, the host and user
// names and the arguments, on one line with its line end.
std::string RecordLogLine(const RunRecord& record, const RecordContext& context);

// The whole program: parse, scan, select, report, dispatch. Returns the exit status: 0, or with
// --exit-code one of the kExit values. A run stopped by a signal ends as that signal would.
int RunUpdater(int argc, const char* const* argv, PlaceholderWrites placeholderWrites);
