// Storage of the test seams. Hooks and the one-shot thread failure are atomics because sleeps,
// key reads and thread starts happen on several threads; the values that do not fit one atomic
// (the fixed time, the fake list's pointer and count) sit behind a mutex.
#include <atomic>
#include <mutex>

#include "platform/common/seam_state.h"
#include "platform/seams.h"

namespace {

std::atomic<uint32_t (*)(uint32_t)> g_sleepHook{nullptr};
std::atomic<int (*)()> g_keyHook{nullptr};
std::atomic<bool> g_failNextThreadStart{false};
std::atomic<SerialReadCall (*)()> g_serialReadHook{nullptr};
std::atomic<uint32_t> g_tickOffset{0};

std::mutex g_seamMutex;
bool g_utcFixed = false;                    // guarded by g_seamMutex
UtcTime g_fixedUtc{};                       // guarded by g_seamMutex
const FakeDevice* g_fakeDevices = nullptr;  // guarded by g_seamMutex
size_t g_fakeCount = 0;                     // guarded by g_seamMutex

}  // namespace

void PlatformSeam_SetDeviceList(const FakeDevice* devices, size_t count) {
    std::lock_guard<std::mutex> guard(g_seamMutex);
    g_fakeDevices = devices;
    g_fakeCount = devices != nullptr ? count : 0;
}

void PlatformSeam_SetFixedUtc(const UtcTime* time) {
    std::lock_guard<std::mutex> guard(g_seamMutex);
    g_utcFixed = time != nullptr;
    g_fixedUtc = time != nullptr ? *time : UtcTime{};
}

void PlatformSeam_SetSleepHook(uint32_t (*hook)(uint32_t ms)) {
    g_sleepHook.store(hook, std::memory_order_release);
}

void PlatformSeam_AdvanceTick(uint32_t ms) {
    g_tickOffset.fetch_add(ms, std::memory_order_acq_rel);
}

uint32_t SeamState_TickOffset() {
    return g_tickOffset.load(std::memory_order_acquire);
}

void PlatformSeam_SetKeyHook(int (*hook)()) {
    g_keyHook.store(hook, std::memory_order_release);
}

void PlatformSeam_SetSerialReadHook(SerialReadCall (*hook)()) {
    g_serialReadHook.store(hook, std::memory_order_release);
}

SerialReadCall (*SeamState_SerialReadHook())() {
    return g_serialReadHook.load(std::memory_order_acquire);
}

void PlatformSeam_FailNextThreadStart() {
    g_failNextThreadStart.store(true, std::memory_order_release);
}

uint32_t (*SeamState_SleepHook())(uint32_t) {
    return g_sleepHook.load(std::memory_order_acquire);
}

int (*SeamState_KeyHook())() {
    return g_keyHook.load(std::memory_order_acquire);
}

bool SeamState_FixedUtc(UtcTime* out) {
    std::lock_guard<std::mutex> guard(g_seamMutex);
    if (!g_utcFixed) {
        return false;
    }
    *out = g_fixedUtc;
    return true;
}

bool SeamState_TakeThreadStartFailure() {
    return g_failNextThreadStart.exchange(false, std::memory_order_acq_rel);
}

FakeDeviceListView SeamState_FakeDeviceList() {
    std::lock_guard<std::mutex> guard(g_seamMutex);
    return FakeDeviceListView{g_fakeDevices != nullptr, g_fakeDevices, g_fakeCount};
}
