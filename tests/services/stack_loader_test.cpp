// The IO-Link stack's boot-loader calls.
#include "tests/services/services_test_support.h"

namespace {

using StackLoaderTest = ServiceFixture;

TEST_F(StackLoaderTest, WriteFrames) {
    AnswerStatus(kFrameTypeStkWrite, 0);
    const Bytes chunk = Pattern(128, 0x01);
    const Bytes record = Pattern(8, 0xA0);
    ASSERT_EQ(IOL_STK_Write(slot, 0, 0x4000, 128, chunk.data()), 0);
    ASSERT_EQ(IOL_STK_Write(slot, 0, 0x3FBF8, 8, record.data()), 0);
    const Bytes longest = Pattern(255, 0x33);
    ASSERT_EQ(IOL_STK_Write(slot, 2, 0x89ABCDEF, 255, longest.data()), 0);
    const auto frames = Requests(3);
    EXPECT_EQ(frames[0],
              Concat({{0x8A, 0x00, 0x02, 0xE8, 0x00, 0x00, 0x40, 0x00, 0x00, 0x80}, chunk}));
    EXPECT_EQ(frames[1],
              Concat({{0x12, 0x00, 0x02, 0xE8, 0x00, 0xF8, 0xFB, 0x03, 0x00, 0x08}, record}));
    EXPECT_EQ(frames[2],
              Concat({{0x09, 0x01, 0x02, 0xE8, 0x02, 0xEF, 0xCD, 0xAB, 0x89, 0xFF}, longest}));
}

TEST_F(StackLoaderTest, InitAndFinishCarryThePortNumber) {
    vm.SetHandler(kFrameTypeStkInit, [](VirtualMaster& master, const Bytes&) {
        master.SendRaw({0x06, 0x00, 0x02, 0xE7, 0x03, 0x00});
    });
    AnswerStatus(kFrameTypeStkFinish, 0);
    EXPECT_EQ(IOL_STK_Init(slot, 3), 0);
    EXPECT_EQ(IOL_STK_Finish(slot, 0), 0);
    const auto frames = Requests(2);
    EXPECT_EQ(frames[0], (Bytes{0x05, 0x00, 0x02, 0xE7, 0x03}));
    EXPECT_EQ(frames[1], (Bytes{0x05, 0x00, 0x02, 0xEB, 0x00}));
}

TEST_F(StackLoaderTest, StatusByteIsReturnedUnchanged) {
    AnswerStatus(kFrameTypeStkWrite, 2);
    AnswerStatus(kFrameTypeStkInit, 0xFF);
    const uint8_t data[1] = {0};
    EXPECT_EQ(IOL_STK_Write(slot, 0, 0, 1, data), 2);
    EXPECT_EQ(IOL_STK_Init(slot, 0), 0xFF);
}

TEST_F(StackLoaderTest, OtherFrameTypeDoesNotPoisonTheNextCall) {
    Answer(kFrameTypeStkFinish, {{0xE7, {0x00, 0x00}}, {0xEB, {0x00, 0x06}}});
    EXPECT_EQ(IOL_STK_Finish(slot, 0), IOL_ERR_FRAME_TYPE);
    EXPECT_EQ(IOL_STK_Finish(slot, 0), 6);
}

TEST_F(StackLoaderTest, Queries) {
    Answer(kFrameTypeStkQuery4,
           {{0xEA, {0x00, 0x01, 0x02, 0x03, 0x04}}, {0xE9, {0x00, 9, 9, 9, 9}}});
    Answer(kFrameTypeStkQuery1, {{0xE9, {0x00, 0x5C}}, {0xEA, {0x00, 0x11}}});
    uint8_t four[4] = {};
    uint8_t one = 0;
    EXPECT_EQ(IOL_STK_Query4(slot, 1, four), 0);
    EXPECT_EQ(Bytes(four, four + 4), (Bytes{0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(IOL_STK_Query1(slot, 0, &one), 0);
    EXPECT_EQ(one, 0x5C);
    // Written only on success.
    EXPECT_EQ(IOL_STK_Query4(slot, 1, four), IOL_ERR_FRAME_TYPE);
    EXPECT_EQ(Bytes(four, four + 4), (Bytes{0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(IOL_STK_Query1(slot, 0, &one), IOL_ERR_FRAME_TYPE);
    EXPECT_EQ(one, 0x5C);
    const auto frames = Requests(4);
    EXPECT_EQ(frames[0], (Bytes{0x05, 0x00, 0x02, 0xEA, 0x01}));
    EXPECT_EQ(frames[1], (Bytes{0x05, 0x00, 0x02, 0xE9, 0x00}));
}

}  // namespace
