// The updater application: command line, inventory of the found masters, the selection of the
// update to apply, the discovery scan and the run sequence.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "images/images.h"

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

// Applies the options to updateOptions; true when it printed the help.
bool ParseCommandLine(int argc, const char* const* argv);
void PrintHelp();

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

// The image versions a selection compares with.
struct ImageVersions {
    int32_t stack;  // GetStackImageVersion: 0 when the stack image has no version record
    int32_t main3;  // GetMain3ImageVersion
    std::span<const FirmwareDescriptor> descriptors;
};

// Decides for one row which updates apply, against the images built into the program.
void SelectUpdate(uint8_t row);
// The same decision against the given image versions.
void SelectUpdateWith(uint8_t row, const ImageVersions& images);
void SetEditionName(uint8_t row);

// ---- Discovery scan ----

// Appends a row to masterTable for every attached master that identifies itself.
void ScanMasters();

// Cuts the port name out of a friendly name such as "IO-Link USB Master (ttyACM0)", in place:
// the name after the "(" of the platform's marker, up to the next ")". nullptr when the marker or
// the ")" is missing.
char* TakePortName(char* friendlyName);

// When IOL_Create on a master's port failed with createResult (IOL_ERR_OPEN or
// IOL_ERR_CONFIGURE), writes one line to standard error that names the port, why it could not
// be opened and what to do.
void PrintOpenHint(const char* portName, int32_t createResult);

// ---- Run sequence ----

// Whether a build that carries the placeholder images (imagesArePlaceholders) may write them into
// a master. The shipped program refuses; the tests, the demo and the benchmark allow it.
enum class PlaceholderWrites : uint8_t { refused, allowed };

// What a placeholder build that refuses prints instead of dispatching the chosen updates.
constexpr const char* kPlaceholderRefusal =
    "This build carries placeholder firmware images: nothing was written. To update masters, "
    "build with the real images: cmake -DIOLINK_FIRMWARE_DIR=<folder of real images>\n";

// The whole program: parse, scan, select, report, dispatch. Returns 0 in every outcome.
int RunUpdater(int argc, const char* const* argv, PlaceholderWrites placeholderWrites);
