// Shared by the services tests: the link fixture with a virtual master whose answers each test
// sets, and helpers for the response frames.
#pragma once

#include <functional>
#include <utility>
#include <vector>

#include "services/services.h"
#include "tests/link/link_test_support.h"

class ServiceFixture : public LinkFixture {
  protected:
    void SetUp() override {
        LinkFixture::SetUp();
        Open();
    }

    // Answers each request of `type` with the next of `responses` (frame type, payload from
    // byte 4 on); requests beyond the list stay unanswered.
    void Answer(uint8_t type, std::vector<std::pair<uint8_t, Bytes>> responses) {
        auto next = std::make_shared<size_t>(0);
        vm.SetHandler(type, [responses, next](VirtualMaster& master, const Bytes&) {
            if (*next < responses.size()) {
                const auto& [responseType, payload] = responses[(*next)++];
                master.SendRaw(VirtualMaster::MakeFrame(responseType, payload));
            }
        });
    }

    // Answers every request of `type` with a response of that type: port byte, then `status`.
    void AnswerStatus(uint8_t type, uint8_t status) {
        vm.SetHandler(type, [type, status](VirtualMaster& master, const Bytes& request) {
            master.SendRaw(VirtualMaster::MakeFrame(type, {request[4], status}));
        });
    }

    // The request frames the master received, once `count` of them are in.
    std::vector<Bytes> Requests(size_t count) {
        EXPECT_TRUE(vm.WaitReceived(count, 3000));
        return vm.Received();
    }
};

// Bytes 0, 1, ... count-1 shifted by `seed`.
inline Bytes Pattern(size_t count, uint8_t seed) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i);
    }
    return bytes;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}
