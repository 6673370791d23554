// Fuzz target: the port search over arbitrary device texts. The input is a list of texts split at
// zero bytes, taken three at a time as a device's instance ID, friendly name and description (a
// text that is the single byte 0x01 stands for one that cannot be read); texts left over are port
// names to look up. Devices go in through the fake device list; every buffer the search fills or
// reads is allocated at its exact size, so that AddressSanitizer sees any step beyond it.
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/app.h"
#include "link/link.h"
#include "platform/seams.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr size_t kMaxDevices = 12;  // beyond the ten that a lookup and the scan read
const char* const kMasterFilter = "Vid_6F3A&Pid_0";
const std::string kAbsent = "\x01";

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

bool Readable(const char* text) {
    return text != nullptr && std::strlen(text) < kDeviceTextSize;
}

bool Terminated(const char (&field)[kPortTextSize]) {
    return memchr(field, '\0', sizeof field) != nullptr;
}

// The product lookups for one port name, handed over in a buffer of its exact size.
void CheckLookups(const std::string& name) {
    auto copy = std::make_unique<char[]>(name.size() + 1);
    std::memcpy(copy.get(), name.c_str(), name.size() + 1);
    auto text = std::make_unique<char[]>(16);
    std::memset(text.get(), 0x5A, 16);
    const int32_t found = IOL_GetProductText(copy.get(), text.get());
    FUZZ_CHECK(found == 0 || found == 1);
    if (found == 1) {
        FUZZ_CHECK(std::strlen(text.get()) == 9 && std::strncmp(text.get(), "USB2", 4) == 0);
        for (size_t i = 4; i < 9; ++i) {
            FUZZ_CHECK(std::isxdigit(static_cast<unsigned char>(text[i])) &&
                       !std::isupper(static_cast<unsigned char>(text[i])));
        }
    } else if (name.size() <= 7) {
        FUZZ_CHECK(std::strcmp(text.get(), "               ") == 0);
    } else {
        FUZZ_CHECK(static_cast<uint8_t>(text[0]) == 0x5A);  // an overlong name is not looked up
    }
    const int32_t supported = IOL_IsSupportedMaster(copy.get());
    FUZZ_CHECK(supported == 0 || supported == 1);
    // A supported master's port always has a product text.
    FUZZ_CHECK(supported == 0 || found == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> texts(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            texts.emplace_back();
        } else {
            texts.back().push_back(static_cast<char>(data[i]));
        }
    }
    const size_t deviceCount = std::min(texts.size() / 3, kMaxDevices);
    std::vector<FakeDevice> devices(deviceCount);
    for (size_t d = 0; d < deviceCount; ++d) {
        const char* parts[3];
        for (size_t p = 0; p < 3; ++p) {
            const std::string& text = texts[d * 3 + p];
            parts[p] = text == kAbsent ? nullptr : text.c_str();
        }
        devices[d] = FakeDevice{parts[0], parts[1], parts[2]};
    }
    PlatformSeam_SetDeviceList(devices.data(), devices.size());

    // The search into an array of exactly `capacity` entries, from entry 1 on: entry 0 and the
    // entries after the last one filled stay as they were.
    constexpr int32_t kCapacity = 10;
    auto entries = std::make_unique<PortEntry[]>(kCapacity);
    std::memset(entries.get(), 0x5A, sizeof(PortEntry) * kCapacity);
    const int32_t count = FindDevicePorts(entries.get(), kCapacity, kMasterFilter, 1);
    size_t expected = 1;
    for (const FakeDevice& device : devices) {
        if (Readable(device.instanceId) && Readable(device.friendlyName) &&
            Readable(device.description) &&
            Upper(device.instanceId).find(Upper(kMasterFilter)) != std::string::npos) {
            ++expected;
        }
    }
    FUZZ_CHECK(count == static_cast<int32_t>(std::min<size_t>(expected, kCapacity)));
    for (int32_t i = 0; i < kCapacity; ++i) {
        const PortEntry& entry = entries[static_cast<size_t>(i)];
        if (i == 0 || i >= count) {
            FUZZ_CHECK(static_cast<uint8_t>(entry.instanceId[0]) == 0x5A);
            continue;
        }
        FUZZ_CHECK(Terminated(entry.instanceId) && Terminated(entry.friendlyName) &&
                   Terminated(entry.description));
        FUZZ_CHECK(std::strstr(entry.instanceId, Upper(kMasterFilter).c_str()) != nullptr);
    }

    // The scan's cut of each found friendly name, in a buffer of its exact size.
    std::vector<std::string> names;
    for (int32_t i = 1; i < count; ++i) {
        const char* friendly = entries[static_cast<size_t>(i)].friendlyName;
        const size_t length = std::strlen(friendly);
        auto copy = std::make_unique<char[]>(length + 1);
        std::memcpy(copy.get(), friendly, length + 1);
        const char* name = TakePortName(copy.get());
        const char* marker = std::strstr(friendly, Platform_PortNameMarker());
        if (marker == nullptr || std::strchr(marker, ')') == nullptr) {
            FUZZ_CHECK(name == nullptr);
            continue;
        }
        FUZZ_CHECK(name == copy.get() + (marker - friendly) + 1);
        const size_t nameLength = std::strlen(name);
        FUZZ_CHECK(name + nameLength < copy.get() + length);
        FUZZ_CHECK(std::strchr(name, ')') == nullptr);
        FUZZ_CHECK(friendly[(name - copy.get()) + nameLength] == ')');
        names.emplace_back(name);
    }
    for (size_t t = deviceCount * 3; t < texts.size(); ++t) {
        names.push_back(texts[t]);
    }
    for (size_t n = 0; n < names.size() && n < 4; ++n) {
        CheckLookups(names[n]);
    }
    PlatformSeam_SetDeviceList(nullptr, 0);
    return 0;
}
