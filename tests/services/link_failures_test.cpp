// What every service call returns when the link fails under it: silence, a lost port, no link.
#include <functional>
#include <string>

#include "tests/services/services_test_support.h"

namespace {

struct ServiceCall {
    const char* name;
    std::function<int32_t(int32_t slot)> call;
};

const std::vector<ServiceCall>& AllCalls() {
    static const std::vector<ServiceCall> calls = {
        {"GetMasterInfo",
         [](int32_t s) {
             MasterInfo info{};
             return IOL_GetMasterInfo(s, &info);
         }},
        {"SP_InitDownload",
         [](int32_t s) {
             uint8_t a[4];
             uint8_t b[4];
             return IOL_SP_InitDownload(s, a, b, kFormatLongAddress);
         }},
        {"SP_Erase", [](int32_t s) { return IOL_SP_Erase(s); }},
        {"SP_Write",
         [](int32_t s) {
             const uint8_t data[4] = {1, 2, 3, 4};
             return IOL_SP_Write(s, 0xFFFE0000u, 4, data, kFormatLongAddress);
         }},
        {"SP_WriteBlock",
         [](int32_t s) {
             uint8_t a[4];
             uint8_t b[4];
             return IOL_SP_WriteBlock(s, a, b);
         }},
        {"SP_Finish", [](int32_t s) { return IOL_SP_Finish(s); }},
        {"STK_Init", [](int32_t s) { return IOL_STK_Init(s, 0); }},
        {"STK_Write",
         [](int32_t s) {
             const uint8_t data[4] = {1, 2, 3, 4};
             return IOL_STK_Write(s, 0, 0x100, 4, data);
         }},
        {"STK_Finish", [](int32_t s) { return IOL_STK_Finish(s, 0); }},
        {"STK_Query1",
         [](int32_t s) {
             uint8_t out = 0;
             return IOL_STK_Query1(s, 0, &out);
         }},
        {"STK_Query4",
         [](int32_t s) {
             uint8_t out[4];
             return IOL_STK_Query4(s, 0, out);
         }},
        {"ResetPort", [](int32_t s) { return IOL_ResetPort(s, 0); }},
        {"QueryDD", [](int32_t s) { return IOL_QueryDD(s); }},
    };
    return calls;
}

using LinkFailureTest = ServiceFixture;

TEST_F(LinkFailureTest, SilenceGivesTimeoutAndKeepsTheLink) {
    vm.SetSilent(true);
    PlatformSeam_SetSleepHook(&FastResponsePolls);
    for (const ServiceCall& c : AllCalls()) {
        SCOPED_TRACE(c.name);
        g_responsePolls = 0;
        EXPECT_EQ(c.call(slot), IOL_ERR_TIMEOUT);
        EXPECT_EQ(g_responsePolls.load(), static_cast<uint32_t>(ResponseWaitPolls));
        EXPECT_EQ(LinkTable_CheckSlot(slot), IOL_OK);
    }
    EXPECT_EQ(vm.Received().size(), AllCalls().size());
}

TEST_F(LinkFailureTest, LostPortGivesLostThenNoLink) {
    for (const ServiceCall& c : AllCalls()) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(vm.Replug());
        Open();
        vm.Unplug();
        ASSERT_TRUE(WaitUntil([&] { return link->online.load() == 0; }));
        EXPECT_EQ(c.call(slot), IOL_ERR_LOST);
        EXPECT_EQ(c.call(slot), IOL_ERR_NO_LINK);
    }
}

TEST_F(LinkFailureTest, NoSuchSlot) {
    for (const ServiceCall& c : AllCalls()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(0), IOL_ERR_NO_LINK);
        EXPECT_EQ(c.call(-5), IOL_ERR_NO_LINK);
        EXPECT_EQ(c.call(slot + 1), IOL_ERR_NO_LINK);
        EXPECT_EQ(c.call(kLinkSlots), IOL_ERR_NO_LINK);
    }
    EXPECT_TRUE(vm.Received().empty());
}

}  // namespace
