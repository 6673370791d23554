// Shared by the tests that run the whole program against virtual masters (natively and under
// Wine): a master's identity, the texts of a whole update, and the checks of its flash against
// the built-in images.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "images/images.h"
#include "sim/virtual_master.h"
#include "tests/support/update_checks.h"

namespace update_checks {

// The identity of a master on main firmware `main` and stack `stack` ("30A", "130").
inline VmIdentity Identity(const char* main, const char* stack) {
    VmIdentity id;
    std::copy(main, main + 3, id.main);
    std::copy(stack, stack + 3, id.stack);
    return id;
}

// What the run prints up to the update of one SE master on `port`.
inline std::string WholeHeader(const std::string& versionText, const std::string& port) {
    return port + " found, try to get information\n" +
           "Found 1 USB IO-Link Master. Only one is updateable by this program.\n\r" +
           "-> Standard Edition (" + versionText + ") on " + port + "\n\r";
}

// Dots of a V3 update (14 blocks of 128 writes, a dot at write 4, 12, ...) and of the shipped
// V2 image (blocks of 128, 128 and 120 writes).
inline const std::string kV3Dots = Repeat('.', 14 * 16);
inline const std::string kV2Dots = Repeat('.', 16 + 16 + 15);

// The swap, the master's restart and its identification on `port` afterwards.
inline std::string WholeSwapAndReturn(const std::string& newVersion, const std::string& port) {
    return "\nBoot swapping was successful\n"
           "Waiting for detection of the new interface" +
           Repeat('.', 11) + port + " found, try to get information\n" +
           "New Master Version:  " + newVersion + " SE\n\r";
}

inline const std::string kReplugPrompt =
    "Please disconnect the USB master and connect it back to the PC. Press any key if you are "
    "ready";

// The replug procedure of a 2.0.5 master on `port`, updated to 2.1.7, from its scan to the end.
inline std::string WholeReplugRun(const std::string& port) {
    const std::string pause = Repeat('w', 15) + "\n" + kReplugPrompt + "\n";
    return port + " found, try to get information\n" +
           "Found 1 USB IO-Link Master. Only one is updateable by this program.\n\r" +
           "-> Standard Edition (2.0.5/1.3.0) on " + port + "\n\r" +
           "Current Master Version:  2.0.5/1.3.0 SE\n\r" + "Flashing: 2.1.7\n\r" +
           "Starting Erase:" + pause + "Begin transfer for adress:   0" + Repeat('.', 16) +
           "Writing Block:" + pause + "Begin transfer for adress:2000" + Repeat('.', 16) +
           "Writing Block:" + pause + "Begin transfer for adress:4000" + Repeat('.', 15) +
           "Writing Block:" + pause + "Swap old and new firmware:" + pause +
           "New Master Version:  2.1.7/1.3.0 SE\n\r" + "\n";
}

// Counts the replug prompts in out; true when there is one more than `prompts` (updated).
inline bool NewReplugPrompt(const std::string& out, size_t& prompts) {
    size_t seen = 0;
    for (size_t at = out.find(kReplugPrompt); at != std::string::npos;
         at = out.find(kReplugPrompt, at + 1)) {
        ++seen;
    }
    if (seen == prompts) {
        return false;
    }
    prompts = seen;
    return true;
}

inline void ExpectFlash3(const VirtualMaster& vm) {
    std::vector<uint8_t> image(kMain3WindowSize);
    ExpandRecords(main3Records, kMain3WindowBase, image);
    Bytes flash = vm.Flash3();
    ASSERT_EQ(flash.size(), image.size());
    ExpectStamp(flash, kMain3StampOffset);
    std::copy_n(image.begin() + kMain3StampOffset, 11, flash.begin() + kMain3StampOffset);
    EXPECT_TRUE(flash == Bytes(image.begin(), image.end()));
}

inline void ExpectFlash2(const VirtualMaster& vm) {
    const FirmwareDescriptor& d = firmwareDescriptors[0];
    Bytes image(d.image, d.image + d.length);
    Bytes flash = vm.Flash2();
    ASSERT_GE(flash.size(), image.size() + 16);
    ExpectStamp(flash, kMain2StampOffset);
    std::copy_n(image.begin() + kMain2StampOffset, 11, flash.begin() + kMain2StampOffset);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    // The pad after the image, and everything beyond, is erased flash.
    EXPECT_TRUE(
        std::all_of(flash.begin() + d.length, flash.end(), [](uint8_t b) { return b == 0xFF; }));
}

inline void ExpectStackFlash(const VirtualMaster& vm) {
    std::vector<uint8_t> image(kStackWindowSize);
    const ExpandResult expanded = ExpandRecords(stackRecords, 0, image);
    const Bytes flash = vm.StackFlash();
    ASSERT_GE(flash.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    const Bytes id = vm.StackIdRecord();
    EXPECT_EQ(id, Bytes(expanded.idRecord.bytes, expanded.idRecord.bytes + 8));
    EXPECT_TRUE(vm.StackDownload().idLast);
}

// What a master received and holds after the whole replug procedure: every step starts with a
// download start on a link of its own, the writes run through the 2.x image, the flash holds it.
inline void ExpectReplugProcedureDone(const VirtualMaster& vm) {
    const std::vector<Request> requests = Requests(vm.Received());
    EXPECT_EQ(CountType(requests, 0xC9), 6);
    ExpectWrites(requests, 0, 24048, 0x10000, 0x10000, 48);
    EXPECT_TRUE(vm.Violations().empty());
    ExpectFlash2(vm);
}

}  // namespace update_checks
