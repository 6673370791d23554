// Checks shared by the tests of whole updates: the requests a master received, read back from
// their frames, and the programming stamp in its flash.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace update_checks {

using Frame = std::vector<uint8_t>;

// One request as the master saw it: type, format byte and, for writes, address and length (for a
// port reset, the port number in `address`).
struct Request {
    uint8_t type;
    uint8_t format;
    uint32_t address;
    uint32_t length;
};

inline uint32_t Le32(const Frame& f, size_t at) {
    return f.at(at) | f.at(at + 1) << 8 | f.at(at + 2) << 16 |
           static_cast<uint32_t>(f.at(at + 3)) << 24;
}

inline std::vector<Request> Requests(const std::vector<Frame>& frames) {
    std::vector<Request> out;
    for (const Frame& f : frames) {
        Request r{f.at(3), f.at(2), 0, 0};
        if (r.type == 0xCB && r.format == 3) {
            r.length = f.at(5);
            r.address = Le32(f, 6);
        } else if (r.type == 0xCB) {
            r.length = f.at(5);
            r.address = f.at(6) | f.at(7) << 8;
        } else if (r.type == 0xE8) {
            r.address = Le32(f, 5);
            r.length = f.at(9);
        } else if (r.type == 0x0F) {
            r.address = f.at(4);
        }
        out.push_back(r);
    }
    return out;
}

inline size_t CountType(const std::vector<Request>& requests, uint8_t type) {
    return static_cast<size_t>(std::count_if(requests.begin(), requests.end(),
                                             [type](const Request& r) { return r.type == type; }));
}

// The types of the requests in order, as "67 0F 0F ".
inline std::string Types(const std::vector<Request>& requests) {
    std::string text;
    char buffer[8];
    for (const Request& r : requests) {
        std::snprintf(buffer, sizeof(buffer), "%02X ", r.type);
        text += buffer;
    }
    return text;
}

// The main-firmware writes run through the image without gaps or overlaps, skipping
// [skipFrom, skipTo), in blocks of at most 8 KB; lastLength (when not 0) is the last write's.
inline void ExpectWrites(const std::vector<Request>& requests, uint32_t first, uint32_t end,
                         uint32_t skipFrom, uint32_t skipTo, uint32_t lastLength = 0) {
    uint32_t expected = first;
    uint32_t inBlock = 0;
    const Request* last = nullptr;
    for (const Request& r : requests) {
        if (r.type == 0xCE) {
            EXPECT_LE(inBlock, 8192u);
            inBlock = 0;
        }
        if (r.type != 0xCB) {
            continue;
        }
        if (expected == skipFrom) {
            expected = skipTo;
        }
        ASSERT_EQ(r.address, expected);
        expected += r.length;
        inBlock += r.length;
        last = &r;
    }
    EXPECT_EQ(expected, end);
    ASSERT_NE(last, nullptr);
    if (lastLength != 0) {
        EXPECT_EQ(last->length, lastLength);
    }
}

// Ten digits of the programming time, then their sum modulo 256.
inline void ExpectStamp(const Frame& flash, size_t offset) {
    uint8_t sum = 0;
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_TRUE(flash.at(offset + i) >= '0' && flash.at(offset + i) <= '9') << i;
        sum = static_cast<uint8_t>(sum + flash.at(offset + i));
    }
    EXPECT_EQ(flash.at(offset + 10), sum);
}

inline std::string Repeat(char c, size_t n) {
    return std::string(n, c);
}

}  // namespace update_checks
