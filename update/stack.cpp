// IO-Link stack update: the stack image in 128-byte chunks through the stack's boot loader, the
// range 0x2000-0x3FFF skipped, the identification record last.
#include <algorithm>
#include <array>
#include <iostream>
#include <vector>

#include "app/app.h"
#include "images/images.h"
#include "link/link.h"
#include "services/services.h"
#include "update/update.h"

namespace {

constexpr uint8_t kStackPort = 0;
constexpr uint32_t kStackChunk = 128;
constexpr uint32_t kStackSkipStart = 0x2000;
constexpr uint32_t kStackSkipEnd = 0x4000;

std::array<uint8_t, kStackWindowSize> stackBuffer;
int32_t stackSlot = 0;

// A chunk is one exchange of about 10 ms (the response poll's step); the finish a few more.
constexpr uint32_t kMsPerChunk = 10;
constexpr uint32_t kMsForFinish = 500;

constexpr const char* kStackUnchanged = "nothing was written; the IO-Link stack is unchanged.";
constexpr const char* kStackUnfinished =
    "the IO-Link stack download was ended unfinished: run the program again to write it.";

enum class ChunksSent : uint8_t { all, rejected, stoppedAtOnce };

// The chunk addresses: from 0 in steps of 128 up to end, 0x2000-0x3FFF skipped. Calls send with
// each address and length until it returns false; returns the number of chunks visited.
template <typename Send>
uint32_t ForEachChunk(uint32_t end, Send send) {
    uint32_t chunks = 0;
    uint32_t address = 0;
    while (address < end) {
        uint32_t length = kStackChunk;
        if (address >= kStackSkipStart && address < kStackSkipEnd) {
            address = kStackSkipEnd;
        }
        // An image that ends inside the skipped range ends the loop here, rather than sending a
        // chunk from 0x4000 with a length that wrapped below zero.
        if (address >= end) {
            break;
        }
        if (address + length > end) {
            length = end - address;
        }
        if (!send(address, length, chunks)) {
            break;
        }
        ++chunks;
        address += kStackChunk;
    }
    return chunks;
}

uint32_t ChunkCount(uint32_t end) {
    return ForEachChunk(end, [](uint32_t, uint32_t, uint32_t) { return true; });
}

// Sends the image up to end.
ChunksSent SendChunks(uint32_t end) {
    ChunksSent result = ChunksSent::all;
    ForEachChunk(end, [&result](uint32_t address, uint32_t length, uint32_t done) {
        Stop_Progress(done);
        // A closing console leaves seconds: the exchange in flight was the last.
        if (Stop_Urgent()) {
            result = ChunksSent::stoppedAtOnce;
            return false;
        }
        std::cout << "+";
        const int32_t r = IOL_STK_Write(stackSlot, kStackPort, address,
                                        static_cast<uint8_t>(length), &stackBuffer[address]);
        if (r != 0) {
            std::cout << std::endl << "Write Failed: " << r << "\n";
            result = ChunksSent::rejected;
            return false;
        }
        return true;
    });
    return result;
}

}  // namespace

UpdateReport stackReport;

// The chunks of the carried image, counted as UpdateStack sends them.
uint32_t ExpectedMsStack() {
    const ExpandResult image = ExpandRecords(stackRecords, 0, stackBuffer);
    return ChunkCount(std::min(image.end, kStackWindowSize)) * kMsPerChunk + kMsForFinish;
}

int32_t UpdateStack(uint8_t row) {
    return UpdateStackWith(row, stackRecords);
}

int32_t UpdateStackWith(uint8_t row, std::span<const FirmwareRecord> records) {
    stackReport = UpdateReport{};
    if (row >= kMasterRows) {
        return 1;
    }
    if (Stop_Requested()) {
        UpdateReport_Set(stackReport, ProcedureEnd::stopped, "before the IO-Link stack update",
                         kStackUnchanged);
        return 1;
    }
    SerialOpenFailure why{};
    stackSlot = IOL_CreateWithCause(masterTable.rows[row].portName, &why);
    if (stackSlot < 0) {
        std::cout << "Open Device Failed\n" << stackSlot;
        PrintOpenHint(masterTable.rows[row].portName, stackSlot, why);
        UpdateReport_Set(stackReport, ProcedureEnd::failed, "at opening its port", kStackUnchanged);
        return 1;
    }
    // Nothing is sent yet: a stop requested while the port opened ends the procedure here rather
    // than after a whole download.
    if (Stop_Requested()) {
        IOL_Destroy(stackSlot);
        UpdateReport_Set(stackReport, ProcedureEnd::stopped, "before the IO-Link stack update",
                         kStackUnchanged);
        return 1;
    }
    const ExpandResult image = ExpandRecords(records, 0, stackBuffer);
    const uint32_t end = std::min(image.end, kStackWindowSize);

    // From the download start to its finish the IO-Link stack is being rewritten: a stop request
    // waits for the finish.
    const CriticalPhase phase("the IO-Link stack is being rewritten", "chunk", ChunkCount(end),
                              kMsPerChunk, kMsForFinish);
    int32_t r = IOL_STK_Init(stackSlot, kStackPort);
    if (r != 0) {
        std::cout << "Init Failed: " << r << "\n";
        IOL_Destroy(stackSlot);
        UpdateReport_Set(stackReport, ProcedureEnd::failed, "at the IO-Link stack download start",
                         kStackUnchanged);
        return 1;
    }
    const ChunksSent sent = SendChunks(end);
    if (sent == ChunksSent::stoppedAtOnce) {
        IOL_Destroy(stackSlot);
        UpdateReport_Set(stackReport, ProcedureEnd::stopped, "while writing the IO-Link stack",
                         kStackUnfinished);
        return 1;
    }
    const bool written = sent == ChunksSent::all;
    if (written && image.hasId) {
        // The identification record goes last; its own result is not reported.
        IOL_STK_Write(stackSlot, kStackPort, kStackIdAddress, sizeof(image.idRecord.bytes),
                      image.idRecord.bytes);
    }
    r = IOL_STK_Finish(stackSlot, kStackPort);
    if (r == 0) {
        std::cout << std::endl;
        IOL_Destroy(stackSlot);
        if (written) {
            UpdateReport_Set(stackReport, ProcedureEnd::written, "", "");
        } else {
            UpdateReport_Set(stackReport, ProcedureEnd::failed, "while writing the IO-Link stack",
                             kStackUnfinished);
        }
        return written ? 0 : 1;
    }
    IOL_Destroy(stackSlot);
    std::cout << "Finish failed: " << r << "\n";
    UpdateReport_Set(stackReport, ProcedureEnd::failed, "at the end of the IO-Link stack download",
                     kStackUnfinished);
    return 1;
}

std::vector<uint8_t> StackSentBytes() {
    std::vector<uint8_t> image(kStackWindowSize);
    const ExpandResult expanded = ExpandRecords(stackRecords, 0, image);
    std::vector<uint8_t> sent;
    ForEachChunk(expanded.end, [&](uint32_t address, uint32_t length, uint32_t /*done*/) {
        sent.insert(sent.end(), image.begin() + address, image.begin() + address + length);
        return true;
    });
    if (expanded.hasId) {
        sent.insert(sent.end(), expanded.idRecord.bytes, expanded.idRecord.bytes + 8);
    }
    return sent;
}
