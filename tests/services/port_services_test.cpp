// IOL_ResetPort and IOL_QueryDD.
#include "tests/services/services_test_support.h"

namespace {

using PortServicesTest = ServiceFixture;

TEST_F(PortServicesTest, ResetPortSendsThirtyOneZeros) {
    AnswerStatus(kFrameTypeResetPort, 0);
    AnswerStatus(kFrameTypeSpWrite, 0);
    // Leave other bytes in the request buffer first: the reset must not send them.
    const Bytes data = Pattern(64, 0x40);
    ASSERT_EQ(IOL_SP_Write(slot, 0xFFFFFFFF, 64, data.data(), kFormatLongAddress), 0);
    EXPECT_EQ(IOL_ResetPort(slot, 1), IOL_OK);
    const auto frames = Requests(2);
    EXPECT_EQ(frames[1], Concat({{0x24, 0x00, 0x02, 0x0F, 0x01}, Bytes(31, 0x00)}));
}

TEST_F(PortServicesTest, ResetPortMapsTheStatusWhateverTheFrameType) {
    const std::pair<uint8_t, int32_t> cases[] = {{0, IOL_OK},
                                                 {21, IOL_OK},
                                                 {1, IOL_ERR_RESET_STATUS1},
                                                 {4, IOL_ERR_NO_NAME},
                                                 {2, IOL_ERR_FRAME_TYPE},
                                                 {0xFF, IOL_ERR_FRAME_TYPE}};
    std::vector<std::pair<uint8_t, Bytes>> responses;
    for (const auto& [status, result] : cases) {
        responses.push_back({0x0F, {0x00, status}});
    }
    responses.push_back({0x99, {0x00, 21}});
    responses.push_back({0x67, {0x00, 4}});
    Answer(kFrameTypeResetPort, responses);
    for (const auto& [status, result] : cases) {
        EXPECT_EQ(IOL_ResetPort(slot, 0), result) << static_cast<int>(status);
    }
    EXPECT_EQ(IOL_ResetPort(slot, 0), IOL_OK);
    EXPECT_EQ(IOL_ResetPort(slot, 0), IOL_ERR_NO_NAME);
    EXPECT_EQ(link->responseReady.load(), 0);
}

TEST_F(PortServicesTest, QueryDD) {
    Answer(kFrameTypeQueryDD, {{0xDD, {0x00, 0x2A}}, {0x67, {0x00, 0x00}}, {0xDD, {0x00, 0x00}}});
    EXPECT_EQ(IOL_QueryDD(slot), 0x2A);
    EXPECT_EQ(Requests(1)[0], (Bytes{0x05, 0x00, 0x02, 0xDD, 0x00}));
    EXPECT_EQ(IOL_QueryDD(slot), IOL_ERR_SEND);
    EXPECT_EQ(LinkTable_CheckSlot(slot), IOL_OK);  // that -1 does not close the link
    EXPECT_EQ(IOL_QueryDD(slot), 0);
}

}  // namespace
