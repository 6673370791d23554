// The programming stamp written into a main image, with the clock fixed through the seam.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "images/images.h"
#include "platform/seams.h"

namespace {

class Stamp : public ::testing::Test {
  protected:
    void TearDown() override { PlatformSeam_SetFixedUtc(nullptr); }

    void SetTime(uint16_t year, uint8_t month, uint8_t day, uint8_t hour, uint8_t minute,
                 uint8_t second) {
        time_ = UtcTime{year, month, day, hour, minute, second, 999};
        PlatformSeam_SetFixedUtc(&time_);
    }

    // Stamps a 0x100-byte buffer of 0xA5 at 0x7A and returns the digits and the sum byte.
    void StampAt7A(std::string* digits, uint8_t* sum) {
        std::vector<uint8_t> buffer(0x100, 0xA5);
        ASSERT_TRUE(StampImage(buffer, kMain2StampOffset));
        EXPECT_EQ(buffer[0x79], 0xA5);
        EXPECT_EQ(buffer[0x85], 0xA5);
        digits->assign(buffer.begin() + 0x7A, buffer.begin() + 0x84);
        *sum = buffer[0x84];
    }

    UtcTime time_{};
};

TEST_F(Stamp, DigitsAndSumForFixedTimes) {
    struct Case {
        UtcTime time;
        const char* digits;
        uint8_t sum;
    };
    const Case cases[] = {
        {{2013, 1, 1, 0, 0, 0, 0}, "0002764800", 0xFB},
        {{2026, 1, 1, 0, 0, 0, 0}, "0070605312", 0xF8},  // wrapped modulo 2^32
        {{2017, 12, 31, 23, 59, 59, 0}, "4020364799", 0x0C},
        {{2026, 7, 14, 9, 41, 27, 0}, "0087833799", 0x16},
        {{2012, 12, 31, 23, 59, 59, 0}, "3333508095", 0x07},  // a year before 2013 wraps too
    };
    for (const Case& c : cases) {
        SetTime(c.time.year, c.time.month, c.time.day, c.time.hour, c.time.minute, c.time.second);
        std::string digits;
        uint8_t sum = 0;
        StampAt7A(&digits, &sum);
        EXPECT_EQ(digits, c.digits) << c.time.year << "-" << int{c.time.month};
        EXPECT_EQ(sum, c.sum) << c.time.year << "-" << int{c.time.month};
    }
}

TEST_F(Stamp, RefusesAStampThatDoesNotFit) {
    SetTime(2026, 1, 1, 0, 0, 0);
    std::vector<uint8_t> buffer(0x20000, 0xFF);
    EXPECT_TRUE(StampImage(buffer, kMain3StampOffset));
    EXPECT_EQ(buffer[kMain3StampOffset], '0');
    EXPECT_EQ(buffer[kMain3StampOffset + 10], 0xF8);

    std::vector<uint8_t> small(0x100, 0xFF);
    EXPECT_TRUE(StampImage(small, 0x100 - 11));  // ends exactly at the buffer's end
    std::vector<uint8_t> untouched(0x100, 0xFF);
    EXPECT_FALSE(StampImage(untouched, 0x100 - 10));
    EXPECT_FALSE(StampImage(untouched, 0x100));
    EXPECT_FALSE(StampImage(untouched, 0xFFFFFFFF));  // no wrap in the bounds test
    EXPECT_FALSE(StampImage(std::span<uint8_t>{}, 0));
    EXPECT_EQ(untouched, std::vector<uint8_t>(0x100, 0xFF));
}

}  // namespace
