// IO-Link stack update: the stack image in 128-byte chunks through the stack's boot loader, the
// range 0x2000-0x3FFF skipped, the identification record last.
#include <algorithm>
#include <array>
#include <iostream>

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

// Sends the image up to end; false when the master rejected a chunk.
bool SendChunks(uint32_t end) {
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
        std::cout << "+";
        const int32_t r = IOL_STK_Write(stackSlot, kStackPort, address,
                                        static_cast<uint8_t>(length), &stackBuffer[address]);
        if (r != 0) {
            std::cout << std::endl << "Write Failed: " << r << "\n";
            return false;
        }
        address += kStackChunk;
    }
    return true;
}

}  // namespace

int32_t UpdateStack(uint8_t row) {
    return UpdateStackWith(row, stackRecords);
}

int32_t UpdateStackWith(uint8_t row, std::span<const FirmwareRecord> records) {
    if (row >= kMasterRows) {
        return 1;
    }
    stackSlot = IOL_Create(masterTable.rows[row].portName);
    if (stackSlot < 0) {
        std::cout << "Open Device Failed\n" << stackSlot;
        PrintOpenHint(masterTable.rows[row].portName, stackSlot);
        return 1;
    }
    const ExpandResult image = ExpandRecords(records, 0, stackBuffer);
    const uint32_t end = std::min(image.end, kStackWindowSize);

    int32_t r = IOL_STK_Init(stackSlot, kStackPort);
    if (r != 0) {
        std::cout << "Init Failed: " << r << "\n";
        IOL_Destroy(stackSlot);
        return 1;
    }
    const bool written = SendChunks(end);
    if (written && image.hasId) {
        // The identification record goes last; its own result is not reported.
        IOL_STK_Write(stackSlot, kStackPort, kStackIdAddress, sizeof(image.idRecord.bytes),
                      image.idRecord.bytes);
    }
    r = IOL_STK_Finish(stackSlot, kStackPort);
    if (r == 0) {
        std::cout << std::endl;
        IOL_Destroy(stackSlot);
        return written ? 0 : 1;
    }
    IOL_Destroy(stackSlot);
    std::cout << "Finish failed: " << r << "\n";
    return 1;
}
