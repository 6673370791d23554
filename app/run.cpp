// The run sequence: parse, scan, select, report, and at most one dispatch. Standard output is
// the specified one; what the run adds (why nothing is written, what is written, whether it was
// verified, the result) goes to standard error, and --exit-code makes the status tell it.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

#include "app/app.h"
#include "images/images.h"
#include "link/link.h"
#include "platform/platform.h"
#include "update/update.h"

namespace {

void ListMasters() {
    Console_Print("Found %u USB IO-Link Master. Only one is updateable by this program.\n\r",
                  static_cast<unsigned>(masterTable.masterCount));
    for (uint8_t row = 0; row < masterTable.masterCount; ++row) {
        const MasterEntry& entry = masterTable.rows[row];
        Console_Print(ChoosesAnUpdate(DecisionOf(entry)) ? "-> %s Edition (%s) on %s\n\r"
                                                         : "   %s Edition (%s) on %s\n\r",
                      entry.editionName, entry.versionText, entry.portName);
    }
}

uint8_t ChosenRow() {
    for (uint8_t row = 0; row < masterTable.masterCount; ++row) {
        if (ChoosesAnUpdate(DecisionOf(masterTable.rows[row]))) {
            return row;
        }
    }
    return 0;
}

// The outcome of a run, for the result line and the exit status. `answered`: a --list that
// printed its list (it has no result line).
enum class Outcome : uint8_t { answered, nothingWritten, updated, failed, stopped };

// One update of the dispatch: what it writes, and what became of it.
struct Item {
    const char* what;  // "main firmware", "IO-Link stack"
    int32_t before;    // the master's version before the run
    int32_t carried;   // the image's version
    const UpdateReport* report;
    // The version the master reports after the run, when a later identification read it.
    bool readBack;
    int32_t after;
};

// An item's part of the result line, and whether it counts as a failure or a stop.
std::string ItemText(const Item& item, Outcome* outcome) {
    const std::string change = std::string(item.what) + " " + VersionText(item.before) + " -> ";
    switch (item.report->end) {
        case ProcedureEnd::notRun:
            *outcome = *outcome == Outcome::failed ? Outcome::failed : Outcome::stopped;
            return change + VersionText(item.carried) + " not started";
        case ProcedureEnd::failed:
            *outcome = Outcome::failed;
            return change + VersionText(item.carried) + " failed " + item.report->step;
        case ProcedureEnd::stopped:
            *outcome = *outcome == Outcome::failed ? Outcome::failed : Outcome::stopped;
            return change + VersionText(item.carried) + " stopped " + item.report->step;
        case ProcedureEnd::written:
            break;
    }
    if (!item.readBack && item.report == &mainReport) {
        // A main-firmware update ends by identifying the master: one that did not come back
        // needs looking at.
        *outcome = Outcome::failed;
        return change + VersionText(item.carried) +
               " (written, but the master was not identified again)";
    }
    if (!item.readBack) {
        return change + VersionText(item.carried) + " (written, not read back)";
    }
    if (item.after != item.carried) {
        *outcome = Outcome::failed;
        return change + VersionText(item.after) + " (" + VersionText(item.carried) +
               " was written)";
    }
    return change + VersionText(item.after) + " (verified)";
}

// What the dispatch did with the chosen master, and what it tells on standard error.
class Dispatcher {
  public:
    Dispatcher(const MasterEntry& before, const ImageVersions& images)
        : before_(before), images_(images) {}

    // Runs every chosen update of the row, in the fixed order, whatever the step before achieved,
    // until a stop is requested.
    void Run(uint8_t row) {
        // The choices are read before the first procedure: the wait for the restarting master
        // refills the table's rows.
        const MasterEntry entry = masterTable.rows[row];
        const FirmwareDescriptor* descriptor = ChosenV2Image(entry.mainChoiceV2);
        const int32_t main2 = descriptor != nullptr ? DescriptorVersion(*descriptor) : 0;
        const int32_t mainBefore = VersionNumber(before_.mainVersion);
        if (entry.mainChoiceV3 != 0) {
            if (Stop_Requested()) {
                Add("main firmware", mainBefore, images_.main3, &kNotStarted);
            } else {
                UpdateMainFirmwareV3(row);
                AddMain(images_.main3);
            }
        }
        if (entry.stackChoice != 0) {
            const int32_t stackBefore = VersionNumber(before_.stackVersion);
            if (Stop_Requested()) {
                Add("IO-Link stack", stackBefore, images_.stack, &kNotStarted);
            } else {
                UpdateStack(row);
                Add("IO-Link stack", stackBefore, images_.stack, &stackReport);
                TellStack();
            }
        }
        if (entry.mainChoiceV2 != 0) {
            if (Stop_Requested()) {
                Add("main firmware", mainBefore, main2, &kNotStarted);
            } else {
                if (entry.mainVariant == 0) {
                    UpdateMainFirmwareV2Replug(row);
                } else {
                    UpdateMainFirmwareV2(row);
                }
                AddMain(main2);
            }
        }
    }

    // The result line's details, and the outcome.
    std::string Details(Outcome* outcome) const {
        *outcome = Outcome::updated;
        std::string text = std::string(before_.portName) + ":";
        for (size_t i = 0; i < count_; ++i) {
            text += (i == 0 ? " " : "; ") + ItemText(items_[i], outcome);
        }
        return text;
    }

    // The updates of the dispatch, for the record of the run.
    void Record(RunRecord* record) const {
        record->procedureCount = 0;
        for (size_t i = 0; i < count_ && i < record->procedures.size(); ++i) {
            const Item& item = items_[i];
            record->procedures[record->procedureCount++] =
                ProcedureRecord{item.what,         item.before,   item.carried, EndOf(*item.report),
                                item.report->step, item.readBack, item.after};
        }
    }

  private:
    static const char* EndOf(const UpdateReport& report) {
        switch (report.end) {
            case ProcedureEnd::written:
                return "written";
            case ProcedureEnd::failed:
                return "failed";
            case ProcedureEnd::stopped:
                return "stopped";
            case ProcedureEnd::notRun:
                break;
        }
        return "not started";
    }

    // The report of an update that a stop request kept from starting.
    static constexpr UpdateReport kNotStarted{};

    void Add(const char* what, int32_t before, int32_t carried, const UpdateReport* report) {
        if (count_ < items_.size()) {
            items_[count_++] = Item{what, before, carried, report, false, 0};
        }
    }

    // A main-firmware procedure ended: tell what it achieved. Its identification of the master
    // afterwards reads back the IO-Link stack as well.
    void AddMain(int32_t carried) {
        Add("main firmware", VersionNumber(before_.mainVersion), carried, &mainReport);
        if (mainReport.identified) {
            const int32_t main = VersionNumber(mainReport.info.mainVersion);
            const int32_t stack = VersionNumber(mainReport.info.stackVersion);
            for (size_t i = 0; i < count_; ++i) {
                Item& item = items_[i];
                if (item.report->end == ProcedureEnd::written) {
                    item.readBack = true;
                    item.after = item.report == &stackReport ? stack : main;
                }
            }
        }
        const Item& item = items_[count_ - 1];
        const char* port = before_.portName;
        if (mainReport.end != ProcedureEnd::written) {
            TellEnd("main firmware", mainReport);
        } else if (!item.readBack) {
            Console_Tell(
                "main firmware written into the master on %s, but the "
                "master did not identify itself afterwards: not verified. Check it with "
                "iolink-update --list.",
                port);
        } else {
            for (size_t i = 0; i < count_; ++i) {
                TellVerified(items_[i], port);
            }
        }
    }

    static void TellVerified(const Item& item, const char* port) {
        if (!item.readBack) {
            return;
        }
        Console_Tell(
            "%s written into the master on %s; it now reports %s, %s", item.what, port,
            VersionText(item.after).c_str(),
            item.after == item.carried
                ? "the version carried: verified"
                : ("not the " + VersionText(item.carried) + " carried: NOT verified").c_str());
    }

    void TellStack() const {
        if (stackReport.end != ProcedureEnd::written) {
            TellEnd("IO-Link stack", stackReport);
            return;
        }
        Console_Tell(
            "IO-Link stack %s written into the master on %s; the master "
            "reports it only after a restart: not verified by this step.",
            VersionText(images_.stack).c_str(), before_.portName);
    }

    // A procedure that failed or was stopped: where, the master's state, and what to do.
    void TellEnd(const char* what, const UpdateReport& report) const {
        if (report.end == ProcedureEnd::failed) {
            Console_Tell("%s update of the master on %s failed %s: %s", what, before_.portName,
                         report.step, report.state);
        } else if (report.end == ProcedureEnd::stopped) {
            Console_Tell("stopped %s: %s", report.step, report.state);
        }
    }

    MasterEntry before_;
    ImageVersions images_;
    std::array<Item, 3> items_{};
    size_t count_ = 0;
};

// About how long the chosen updates take against a master that answers at once, the wait for
// the restarting master included, without the operator's replugs: each procedure the dispatch
// runs, counted from the image it sends (the 2.x image's length gives the replug steps).
unsigned ExpectedSeconds(const MasterEntry& entry) {
    uint64_t ms = 0;
    if (entry.mainChoiceV3 != 0) {
        ms += ExpectedMsMainFirmwareV3();
    }
    if (entry.stackChoice != 0) {
        ms += ExpectedMsStack();
    }
    if (const FirmwareDescriptor* descriptor = ChosenV2Image(entry.mainChoiceV2)) {
        ms += entry.mainVariant == 0 ? ExpectedMsReplug(*descriptor)
                                     : ExpectedMsMainFirmwareV2(*descriptor);
    }
    // Rounded up: an estimate that is too short makes the operator unplug too early.
    return static_cast<unsigned>((ms + 999) / 1000);
}

// "iolink-update: result: updated ttyACM0: main firmware 3.0.9 -> 3.0.10 (verified)"; a run that
// reached no update says why in parentheses: "result: nothing written (no master found)".
void PrintResult(const char* word, const std::string& details) {
    Console_Tell("result: %s %s", word, details.c_str());
}

int StatusOf(Outcome outcome) {
    switch (outcome) {
        case Outcome::answered:
        case Outcome::updated:
            return kExitUpdated;
        case Outcome::failed:
            return kExitFailed;
        case Outcome::stopped:
            return kExitStopped;
        case Outcome::nothingWritten:
            break;
    }
    return kExitNothingWritten;
}

const char* WordOf(Outcome outcome) {
    switch (outcome) {
        case Outcome::updated:
            return "updated";
        case Outcome::failed:
            return "failed";
        case Outcome::stopped:
            return "stopped";
        case Outcome::answered:
        case Outcome::nothingWritten:
            break;
    }
    return "nothing written";
}

// Selection, report and dispatch after the scan. Returns the outcome; stdout as specified.
Outcome UpdateRun(const RunRequest& request, PlaceholderWrites placeholderWrites,
                  std::string* details, RunRecord* record) {
    if (Stop_Requested()) {
        Console_Tell("stopped during the scan: nothing was written.");
        *details = "(nothing written)";
        return Outcome::stopped;
    }
    if (masterTable.masterCount == 0) {
        std::cout << "No USB IO-Link Master found. Exiting..." << std::endl;
        *details = "(no master found)";
        return Outcome::nothingWritten;
    }
    const ImageVersions images = CarriedImages();
    for (uint8_t row = 0; row < masterTable.masterCount; ++row) {
        SelectUpdate(row);
        SetEditionName(row);
    }
    if (masterTable.updateableCount == 0) {
        std::cout << "No Updateable USB Master Found..." << std::endl;
        for (uint8_t row = 0; row < masterTable.masterCount; ++row) {
            const MasterEntry& entry = masterTable.rows[row];
            const UpdateDecision decision = DecideUpdate(entry, updateOptions, images);
            Console_Tell("%s: nothing to write: %s", DescribeMaster(entry).c_str(),
                         WhyNothingIsWritten(entry, decision, images).c_str());
        }
        *details = "(no master to update)";
        return Outcome::nothingWritten;
    }
    if (masterTable.updateableCount > 1) {
        Console_Print("Please connect only one master for update:\n\r");
        for (uint8_t row = 0; row < masterTable.masterCount; ++row) {
            const MasterEntry& entry = masterTable.rows[row];
            if (ChoosesAnUpdate(DecisionOf(entry))) {
                Console_Tell(
                    "%s qualifies for an update, as does another: name the one to "
                    "update with %s, or connect only that one",
                    DescribeMaster(entry).c_str(), PortOptionFor(entry).c_str());
            }
        }
        *details =
            "(" + std::to_string(masterTable.updateableCount) + " masters qualify for an update)";
        return Outcome::nothingWritten;
    }
    ListMasters();
    const uint8_t row = ChosenRow();
    // A copy: the wait for the restarting master refills the table.
    const MasterEntry chosen = masterTable.rows[row];
    const std::string writes = WhatAnUpdateWrites(chosen, DecisionOf(chosen), images);
    // Placeholder images are data of the right shape, not firmware: unless the build allows it,
    // they never reach a device. Nothing is sent to the master beyond the scan's identification.
    if (imagesArePlaceholders && placeholderWrites != PlaceholderWrites::allowed) {
        Console_Print("%s", kPlaceholderRefusal);
        Console_Tell(
            "%s: nothing written: this build carries placeholder images "
            "(it would write %s)",
            DescribeMaster(chosen).c_str(), writes.c_str());
        *details = "(" + std::string(chosen.portName) + ": this build carries placeholder images)";
        return Outcome::nothingWritten;
    }
    if (Stop_Requested()) {
        Console_Tell("stopped before the update started: nothing was written.");
        *details = "(" + std::string(chosen.portName) + ": nothing written)";
        return Outcome::stopped;
    }
    // The replug procedure asks for the unplugging itself.
    const bool replug = chosen.mainChoiceV2 != 0 && chosen.mainVariant == 0;
    Console_Tell(
        "writing %s into the master on %s: %s until the update ends "
        "(about %u s%s)",
        writes.c_str(), chosen.portName,
        replug ? "unplug it only when asked, and do not close this window"
               : "do not unplug it or close this window",
        ExpectedSeconds(chosen), replug ? " and the replugs" : "");
    // With --port, the wait for the restarting master opens no port but this master's, found by
    // its USB identity (its port may come back under another name).
    if (request.port != nullptr) {
        FollowMaster(chosen);
    }
    Dispatcher dispatcher(chosen, images);
    Platform_KeepAwake(true);
    dispatcher.Run(row);
    Platform_KeepAwake(false);
    Outcome outcome = Outcome::updated;
    *details = dispatcher.Details(&outcome);
    dispatcher.Record(record);
    return outcome;
}

// Every run that scans: --list, and the update runs. Fills the record; returns the outcome.
Outcome ScanningRun(const RunRequest& request, PlaceholderWrites placeholderWrites,
                    RunRecord* record) {
    Platform_StopHandlersInstall();
    IOL_LibraryAttach();
    scanSelection = ScanSelection{};
    // --port: the scan opens the named master's port alone; a name that matches no master (or
    // several) opens nothing, and the run goes on as one that found none.
    std::string unmatched;
    if (request.port != nullptr) {
        std::string found;
        const PortMatch match = SelectNamedPort(request.port, &found);
        if (match != PortMatch::one) {
            scanSelection = ScanSelection{ScanScope::noPort, {}, {}};
            const char* how = match == PortMatch::none ? "names no attached master"
                                                       : "names more than one master";
            Console_Tell("--port %s %s (%s: %s): nothing was opened", request.port, how,
                         match == PortMatch::none ? "masters found" : "it names", found.c_str());
            unmatched = "(--port " + std::string(request.port) + " " + how + ")";
        }
    }
    ScanFailures failures{};
    ScanMasters(&failures);
    PrintScanHints(failures);
    // The masters as this scan found them: the wait for a restarting master refills the table.
    record->scanned = true;
    record->masters = masterTable;
    record->options = updateOptions;
    record->refusedBuild = imagesArePlaceholders && placeholderWrites != PlaceholderWrites::allowed;
    Outcome outcome = Outcome::answered;
    if (request.list) {
        // A stop request before the list is printed leaves the question unanswered.
        if (Stop_Requested()) {
            outcome = Outcome::stopped;
        } else {
            PrintMasterList(updateOptions, CarriedImages(), record->refusedBuild);
        }
        IOL_LibraryDetach();
    } else {
        std::string details;
        outcome = UpdateRun(request, placeholderWrites, &details, record);
        if (!unmatched.empty() && outcome == Outcome::nothingWritten) {
            details = unmatched;
        } else if (outcome == Outcome::nothingWritten && masterTable.masterCount == 0) {
            // A master's port that could not be opened is not an empty bench: the line says
            // which port and why (no permission, in use by another program).
            details = "(" + WhyNoMasterWasFound(failures) + ")";
        }
        // A stopped run's standard output stays a prefix of the whole run's: no final line.
        if (outcome != Outcome::stopped) {
            Console_Print("\n");
        }
        IOL_LibraryDetach();
        PrintResult(WordOf(outcome), details);
        record->update = true;
        record->port = request.port;
        record->result = WordOf(outcome);
        record->details = details;
    }
    // The link is closed: a console that is closing may let the process end now.
    Platform_StopCleanupDone();
    return outcome;
}

// --log: the record file, opened (created, appended to) before any port is opened, so that a run
// whose record cannot be kept writes nothing.
class RecordFile {
  public:
    explicit RecordFile(const char* path) : path_(path) {
        if (path_ != nullptr) {
            file_ = Platform_LogOpen(path_, &error_);
        }
    }
    ~RecordFile() { Platform_LogClose(file_); }
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    bool Asked() const { return path_ != nullptr; }
    bool Open() const { return file_ != nullptr; }
    const char* Path() const { return path_; }
    // The system's reason of the last failure.
    std::string Why() const {
        char text[256] = {};
        Platform_ErrorText(error_, text, sizeof text);
        return text;
    }
    // Appends the line whole, on the disk when it returns true.
    bool Append(const std::string& line) {
        return file_ != nullptr && Platform_LogAppend(file_, line.data(), line.size(), &error_);
    }

  private:
    const char* path_;
    PlatformLogFile* file_ = nullptr;
    uint32_t error_ = 0;
};
// A window of its own closes with the program: the operator could not read the result. Not when
// a program reads the answer (machineOutput), nor after a stop request.
void KeepTheWindowOpen(bool machineOutput) {
    if (Platform_StopRequests().count != 0 || !Platform_PausesAtExit(machineOutput)) {
        return;
    }
    // No port is open any more: should the operator close the window instead of pressing a key,
    // the process may end at once.
    Platform_StopCleanupDone();
    std::fprintf(stderr, "iolink-update: press any key to close this window");
    Platform_ReadKey();
    std::fprintf(stderr, "\n");
}

}  // namespace

int RunUpdater(int argc, const char* const* argv, PlaceholderWrites placeholderWrites) {
    // Progress marks are printed without a line end: standard output is unbuffered so that the
    // operator sees each one as it happens. The standard stream stays synchronised with it, so
    // text of both channels reaches the output in the order written.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::ios::sync_with_stdio(true);
    const ConsoleTracking tracking;

    const RunRequest request = ParseRunRequest(argc, argv);
    // --json: standard output carries the document alone, whatever else the run prints.
    if (request.json) {
        Console_TextToStandardError();
    }
    const UtcTime start = Platform_UtcNow();
    RunRecord record;
    Outcome outcome = Outcome::answered;
    std::optional<RecordFile> recordFile;
    if (ParseCommandLine(argc, argv)) {
        // The help, and nothing else.
    } else if (request.refused != nullptr) {
        if (std::strcmp(request.refusedWhy, "unknown option") == 0) {
            Console_Tell("unknown option %s: nothing was done (iolink-update -? lists the options)",
                         request.refused);
        } else {
            Console_Tell("%s %s: nothing was done (iolink-update -? lists the options)",
                         request.refused, request.refusedWhy);
        }
        record.refused = request.refused;
        record.refusedWhy = request.refusedWhy;
    } else if (request.version) {
        PrintVersion(CarriedImages(), imagesArePlaceholders, placeholderWrites);
    } else if (request.list) {
        outcome = ScanningRun(request, placeholderWrites, &record);
    } else {
        // A run that may write keeps its record when asked: the file is opened before any port,
        // and a run whose record cannot be kept opens none.
        recordFile.emplace(request.log);
        if (recordFile->Asked() && !recordFile->Open()) {
            record.logFile = request.log;
            record.logError = recordFile->Why();
            const std::string why =
                "cannot open the record file " + std::string(request.log) + ": " + record.logError;
            Console_Tell("%s: nothing was opened", why.c_str());
            PrintResult("nothing written", "(" + why + ")");
            record.update = true;
            record.result = "nothing written";
            record.details = "(" + why + ")";
            outcome = Outcome::nothingWritten;
        } else {
            outcome = ScanningRun(request, placeholderWrites, &record);
        }
    }
    // The status, and whether the process ends as a stop signal would end it, come from the
    // outcome alone, as the result line tells it: a stop request that came when nothing was left
    // to stop (during the last identification, after a step failed, after the list was printed)
    // changes neither.
    int status = record.refused != nullptr ? kExitRefused : StatusOf(outcome);
    record.status = status;
    if (recordFile && recordFile->Open()) {
        const RecordContext context{start, Platform_UtcNow(), argc, argv};
        record.logFile = recordFile->Path();
        if (!recordFile->Append(RecordLogLine(record, context))) {
            // The record was asked for: a run without it is no success.
            record.logError = recordFile->Why();
            Console_Tell("cannot write the record to %s: %s", recordFile->Path(),
                         record.logError.c_str());
            status = kExitFailed;
            record.status = status;
        }
    }
    if (request.json) {
        Console_WriteDocument(RecordDocument(record));
    }
    if (!request.exitCode) {
        status = 0;
        if (outcome == Outcome::stopped) {
            // Returns when no signal asked for the stop (a closed output, a prompt nobody
            // answers).
            Platform_EndAsStopRequested();
        }
    }
    KeepTheWindowOpen(request.machineOutput);
    return status;
}
