// The record of a run for programs: one JSON document (--json) and one line of the change log
// (--log), built with nlohmann::json so that every text is escaped as JSON requires. Keys are
// stable within a format number; a key whose value is unknown or does not apply is left out.
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "images/images.h"
#include "platform/platform.h"
#include "update/update.h"

#ifndef IOLINK_PROGRAM_VERSION
#error "IOLINK_PROGRAM_VERSION must be defined by the build (the project's version)"
#endif

namespace {

using Json = nlohmann::ordered_json;

constexpr int kRecordFormat = 1;

std::string Hex(const uint8_t (&digest)[kSha256Size]) {
    std::string text;
    char pair[3];
    for (const uint8_t byte : digest) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

// The SHA-256 of the bytes an update sends of an image; left out if it cannot be computed.
void AddDigest(Json& image, const std::vector<uint8_t>& bytes) {
    uint8_t digest[kSha256Size] = {};
    if (Platform_Sha256(bytes.data(), bytes.size(), digest)) {
        image["sha256"] = Hex(digest);
        image["bytes"] = bytes.size();
    }
}

Json Images(const ImageVersions& images) {
    Json list = Json::array();
    Json main3 = {
        {"kind", "main firmware"}, {"for", "3.x"}, {"version", VersionText(images.main3)}};
    AddDigest(main3, Main3SentBytes());
    list.push_back(main3);
    for (const FirmwareDescriptor& descriptor : images.descriptors) {
        Json main2 = {{"kind", "main firmware"},
                      {"for", "2.x"},
                      {"edition", std::string(descriptor.editionCode,
                                              strnlen(descriptor.editionCode,
                                                      sizeof(descriptor.editionCode)))},
                      {"version", VersionText(DescriptorVersion(descriptor))}};
        AddDigest(main2, Main2SentBytes(descriptor));
        list.push_back(main2);
    }
    Json stack = {{"kind", "IO-Link stack"}, {"version", VersionText(images.stack)}};
    AddDigest(stack, StackSentBytes());
    list.push_back(stack);
    return list;
}

// What the decision writes into the master of entry, in the order the dispatch writes it.
Json Writes(const MasterEntry& entry, const UpdateDecision& d, const ImageVersions& images) {
    Json writes = Json::array();
    const PlannedWrites planned = WritesOf(entry, d, images);
    for (uint8_t i = 0; i < planned.count; ++i) {
        const PlannedWrite& write = planned.items[i];
        Json change = {
            {"kind", write.what}, {"from", VersionText(write.from)}, {"to", VersionText(write.to)}};
        if (write.to < write.from) {
            change["older"] = true;
        }
        if (write.replugPrompts != 0) {
            change["replugPrompts"] = write.replugPrompts;
        }
        writes.push_back(change);
    }
    return writes;
}

Json Masters(const RunRecord& record, const ImageVersions& images) {
    Json list = Json::array();
    const std::array<MasterOutlook, kMasterRows> outlooks =
        MasterOutlooks(record.masters, record.options, images, record.refusedBuild);
    for (uint8_t row = 0; row < record.masters.masterCount && row < kMasterRows; ++row) {
        const MasterEntry& entry = record.masters.rows[row];
        char devicePath[kDeviceTextSize] = {};
        Platform_SerialDevicePath(entry.portName, devicePath, sizeof devicePath);
        Json master = {{"port", entry.portName}, {"devicePath", devicePath}};
        if (entry.usb.serialNumber[0] != '\0') {
            master["serialNumber"] = entry.usb.serialNumber;
        }
        if (entry.usb.location[0] != '\0') {
            master["usbLocation"] = entry.usb.location;
        }
        master["edition"] = entry.editionCode;
        master["main"] = VersionText(VersionNumber(entry.mainVersion));
        master["stack"] = VersionText(VersionNumber(entry.stackVersion));
        const MasterOutlook& outlook = outlooks[row];
        if (outlook.writes) {
            master["wouldWrite"] = Writes(entry, outlook.decision, images);
        } else {
            master["wouldWriteNothing"] = outlook.why;
        }
        list.push_back(master);
    }
    return list;
}

Json Run(const RunRecord& record) {
    Json run = Json::object();
    if (record.port != nullptr) {
        run["port"] = record.port;
    }
    Json procedures = Json::array();
    for (uint8_t i = 0; i < record.procedureCount && i < record.procedures.size(); ++i) {
        const ProcedureRecord& p = record.procedures[i];
        Json procedure = {{"kind", p.what},
                          {"before", VersionText(p.before)},
                          {"carried", VersionText(p.carried)}};
        if (p.readBack) {
            procedure["after"] = VersionText(p.after);
        }
        procedure["verified"] = p.readBack && p.after == p.carried;
        procedure["end"] = p.end;
        if (p.step[0] != '\0') {
            procedure["step"] = p.step;
        }
        procedures.push_back(procedure);
    }
    run["procedures"] = procedures;
    run["result"] = record.result != nullptr ? record.result : "";
    run["details"] = record.details;
    return run;
}

Json Document(const RunRecord& record) {
    const ImageVersions images = CarriedImages();
    Json document = {{"format", kRecordFormat}};
    document["program"] = {{"name", "iolink-update"},
                           {"version", IOLINK_PROGRAM_VERSION},
                           {"placeholderImages", imagesArePlaceholders},
                           {"writesImages", !record.refusedBuild}};
    document["images"] = Images(images);
    if (record.refused != nullptr) {
        document["refused"] = {{"argument", record.refused}, {"why", record.refusedWhy}};
    }
    if (record.scanned) {
        document["masters"] = Masters(record, images);
    }
    if (record.update) {
        document["run"] = Run(record);
    }
    if (record.logFile != nullptr) {
        Json log = {{"file", record.logFile}, {"written", record.logError.empty()}};
        if (!record.logError.empty()) {
            log["error"] = record.logError;
        }
        document["log"] = log;
    }
    document["status"] = record.status;
    return document;
}

// "2026-12-08T19:12:04.123Z".
std::string IsoTime(const UtcTime& t) {
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ",
                  static_cast<unsigned>(t.year), static_cast<unsigned>(t.month),
                  static_cast<unsigned>(t.day), static_cast<unsigned>(t.hour),
                  static_cast<unsigned>(t.minute), static_cast<unsigned>(t.second),
                  static_cast<unsigned>(t.millisecond));
    return text;
}

// Texts from the system or the command line need not be UTF-8: invalid bytes are replaced
// rather than failing the record.
std::string Dump(const Json& json, int indent) {
    return json.dump(indent, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string RecordDocument(const RunRecord& record) {
    return Dump(Document(record), 2) + "\n";
}

std::string RecordLogLine(const RunRecord& record, const RecordContext& context) {
    Json line = {{"format", kRecordFormat},
                 {"start", IsoTime(context.start)},
                 {"end", IsoTime(context.end)}};
    char text[256] = {};
    if (Platform_HostName(text, sizeof text)) {
        line["host"] = text;
    }
    if (Platform_UserName(text, sizeof text)) {
        line["user"] = text;
    }
    Json arguments = Json::array();
    for (int i = 1; i < context.argc; ++i) {
        if (context.argv[i] != nullptr) {
            arguments.push_back(context.argv[i]);
        }
    }
    line["arguments"] = arguments;
    // The line cannot tell whether it reached the disk itself: no "log" part.
    const Json document = Document(record);
    for (const auto& [key, value] : document.items()) {
        if (key != "format" && key != "log") {
            line[key] = value;
        }
    }
    return Dump(line, -1) + "\n";
}
