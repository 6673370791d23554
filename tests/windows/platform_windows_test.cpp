// The Windows platform layer's own rules: the device path built for a port name, the line
// settings laid over the driver's, the time-outs, what a failed open or read means, key presses,
// the console's stop requests, and the walk of the system's device list.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/seams.h"
#include "platform/windows/console_windows.h"
#include "platform/windows/serial_windows.h"
#include "platform/windows/stop_windows.h"
#include "tests/support/wait_until.h"

namespace {

std::string Path(const std::string& name) {
    char path[kDevicePathSize];
    std::memset(path, 'x', sizeof path);
    SerialWindows_DevicePath(name.c_str(), path);
    return path;
}

TEST(WindowsDevicePath, PrefixesTheNameAndStandsInForANameThatDoesNotFit) {
    EXPECT_EQ(Path("COM3"), "\\\\.\\COM3");
    // 4 + 95 + 1 = 100 bytes: the longest name that fits.
    const std::string longest(95, 'A');
    EXPECT_EQ(Path(longest), "\\\\.\\" + longest);
    EXPECT_EQ(Path(longest + "B"), "\\\\.\\COM dummy");
    EXPECT_EQ(Path(std::string(4000, 'C')), "\\\\.\\COM dummy");
}

TEST(WindowsLineSettings, TheMastersFieldsAndARawLineOnlyChange) {
    // Every byte of the driver's record set (every flag on), so that a field changed by mistake
    // shows.
    DCB driver;
    std::memset(&driver, 0xFF, sizeof driver);
    driver.DCBlength = sizeof driver;
    driver.fDtrControl = DTR_CONTROL_HANDSHAKE;
    driver.fRtsControl = RTS_CONTROL_TOGGLE;
    driver.fBinary = 0;
    DCB applied = driver;
    SerialWindows_ApplyLineSettings(applied);
    EXPECT_EQ(applied.BaudRate, 921600u);
    EXPECT_EQ(applied.ByteSize, 8);
    EXPECT_EQ(applied.Parity, NOPARITY);
    EXPECT_EQ(applied.StopBits, ONESTOPBIT);
    EXPECT_EQ(applied.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    EXPECT_EQ(applied.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    EXPECT_EQ(applied.fBinary, 1u);
    EXPECT_EQ(applied.fParity, 0u);
    EXPECT_EQ(applied.fOutxCtsFlow, 0u);
    EXPECT_EQ(applied.fOutxDsrFlow, 0u);
    EXPECT_EQ(applied.fDsrSensitivity, 0u);
    EXPECT_EQ(applied.fOutX, 0u);
    EXPECT_EQ(applied.fInX, 0u);
    EXPECT_EQ(applied.fErrorChar, 0u);
    EXPECT_EQ(applied.fNull, 0u);
    EXPECT_EQ(applied.fAbortOnError, 0u);

    // Put the changed fields back: the rest must be the driver's, byte for byte.
    applied.BaudRate = driver.BaudRate;
    applied.ByteSize = driver.ByteSize;
    applied.Parity = driver.Parity;
    applied.StopBits = driver.StopBits;
    applied.fDtrControl = driver.fDtrControl;
    applied.fRtsControl = driver.fRtsControl;
    applied.fBinary = driver.fBinary;
    applied.fParity = driver.fParity;
    applied.fOutxCtsFlow = driver.fOutxCtsFlow;
    applied.fOutxDsrFlow = driver.fOutxDsrFlow;
    applied.fDsrSensitivity = driver.fDsrSensitivity;
    applied.fOutX = driver.fOutX;
    applied.fInX = driver.fInX;
    applied.fErrorChar = driver.fErrorChar;
    applied.fNull = driver.fNull;
    applied.fAbortOnError = driver.fAbortOnError;
    EXPECT_EQ(std::memcmp(&applied, &driver, sizeof driver), 0);
    EXPECT_EQ(applied.fTXContinueOnXoff, 1u);
}

TEST(WindowsLineSettings, ReadsReturnAtOnceAndWritesHaveNoLimit) {
    const COMMTIMEOUTS t = SerialWindows_Timeouts();
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
}

// GetTickCount advances in steps of the system timer (10 to 16 ms), so a sleep measures up to one
// step short or long. The shared tick test expects POSIX precision and is left out of this build.
TEST(WindowsTime, TickCountsTheMillisecondsOfASleepWithinOneTimerStep) {
    constexpr uint32_t kTimerStepMs = 16;
    const uint32_t before = Platform_TickMs();
    Platform_SleepMs(100);
    const uint32_t elapsed = Platform_TickMs() - before;
    EXPECT_GE(elapsed, 100u - kTimerStepMs);
    EXPECT_LT(elapsed, 5000u);
}

// The NUL device stands in for a COM port: with the queue and line-setting calls answered by the
// seam it opens as one, and the read hook and the ClearCommError seam decide what its reads meet.
BOOL Succeeds(HANDLE, DWORD, DWORD) {
    return TRUE;
}
BOOL StateSucceeds(HANDLE, DCB*) {
    return TRUE;
}
const SerialWindowsCommCalls kNulAsComPort{&StateSucceeds, &StateSucceeds, nullptr, &Succeeds};

TEST(WindowsSerialPort, NoNameOrNoDeviceDoesNotOpenAndTheFailureSaysWhy) {
    SerialPort* port = reinterpret_cast<SerialPort*>(1);
    EXPECT_EQ(Platform_SerialOpen(nullptr, &port), SerialOpenResult::openFailed);
    EXPECT_EQ(port, nullptr);
    EXPECT_EQ(Platform_SerialOpen("", &port), SerialOpenResult::openFailed);
    SerialOpenFailure failure{};
    EXPECT_EQ(Platform_SerialOpen("COM231", &port, &failure), SerialOpenResult::openFailed);
    EXPECT_EQ(failure.cause, SerialOpenCause::absent);
    EXPECT_EQ(failure.error, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    // A device that is no serial port refuses the queue sizes.
    EXPECT_EQ(Platform_SerialOpen("NUL", &port, &failure), SerialOpenResult::configureFailed);
    EXPECT_EQ(failure.cause, SerialOpenCause::other);
    EXPECT_NE(failure.error, 0u);
    SerialWindowsSeam_SetCommCalls(&kNulAsComPort);
    EXPECT_EQ(Platform_SerialOpen("NUL", &port, &failure), SerialOpenResult::ok);
    SerialWindowsSeam_SetCommCalls(nullptr);
    EXPECT_EQ(failure.cause, SerialOpenCause::none) << "an earlier failure is not carried over";
    EXPECT_TRUE(Platform_SerialClose(port));
    EXPECT_STREQ(Platform_PortNameMarker(), "(COM");
}

SerialReadCall g_readCall{};
BOOL g_clearResult = TRUE;
uint32_t g_clearCalls = 0;

SerialReadCall InjectedRead() {
    return g_readCall;
}
BOOL InjectedClear(HANDLE, DWORD*, COMSTAT*) {
    ++g_clearCalls;
    return g_clearResult;
}

// The removal codes mean a lost device at once. Any other failed read is followed by
// ClearCommError, and the device counts as lost when that fails too: "device not functioning" is
// a passing fault while the port still answers.
TEST(WindowsSerialPort, AFailedReadIsLostWhenItsErrorSaysSoOrThePortNoLongerAnswers) {
    SerialWindowsSeam_SetCommCalls(&kNulAsComPort);
    SerialPort* port = nullptr;
    const SerialOpenResult opened = Platform_SerialOpen("NUL", &port);
    SerialWindowsSeam_SetCommCalls(nullptr);
    ASSERT_EQ(opened, SerialOpenResult::ok);
    const SerialWindowsCommCalls calls{nullptr, nullptr, &InjectedClear, nullptr};
    SerialWindowsSeam_SetCommCalls(&calls);
    PlatformSeam_SetSerialReadHook(&InjectedRead);
    const struct {
        SerialReadCall read;
        BOOL cleared;
        SerialReadResult expected;
        uint32_t clears;
    } cases[] = {
        {{1, 0x13, 0}, FALSE, SerialReadResult::byte, 0},
        {{0, 0, 0}, FALSE, SerialReadResult::none, 0},
        {{-1, 0, ERROR_ACCESS_DENIED}, TRUE, SerialReadResult::lost, 0},
        {{-1, 0, ERROR_BAD_COMMAND}, TRUE, SerialReadResult::lost, 0},
        {{-1, 0, ERROR_DEVICE_NOT_CONNECTED}, TRUE, SerialReadResult::lost, 0},
        {{-1, 0, ERROR_DEVICE_REMOVED}, TRUE, SerialReadResult::lost, 0},
        {{-1, 0, ERROR_GEN_FAILURE}, TRUE, SerialReadResult::error, 1},
        {{-1, 0, ERROR_GEN_FAILURE}, FALSE, SerialReadResult::lost, 1},
        {{-1, 0, ERROR_OPERATION_ABORTED}, TRUE, SerialReadResult::error, 1},
        {{-1, 0, ERROR_OPERATION_ABORTED}, FALSE, SerialReadResult::lost, 1},
        {{-1, 0, ERROR_INVALID_PARAMETER}, TRUE, SerialReadResult::error, 1},
    };
    for (const auto& c : cases) {
        g_readCall = c.read;
        g_clearResult = c.cleared;
        g_clearCalls = 0;
        uint8_t byte = 0;
        EXPECT_EQ(Platform_SerialReadByte(port, &byte), c.expected)
            << "error " << c.read.error << ", ClearCommError " << c.cleared;
        EXPECT_EQ(g_clearCalls, c.clears) << "error " << c.read.error;
    }
    PlatformSeam_SetSerialReadHook(nullptr);
    SerialWindowsSeam_SetCommCalls(nullptr);
    EXPECT_TRUE(Platform_SerialClose(port));
}

// Standard input taken from a file for the object's lifetime.
class StdinFromFile {
  public:
    explicit StdinFromFile(const std::string& content) {
        char name[L_tmpnam];
        path_ = std::tmpnam(name) != nullptr ? name : "iolink-key-input.txt";
        const int out =
            _open(path_.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (out >= 0) {
            _write(out, content.data(), static_cast<unsigned>(content.size()));
            _close(out);
        }
        const int in = _open(path_.c_str(), _O_RDONLY | _O_BINARY);
        saved_ = _dup(0);
        if (in >= 0) {
            _dup2(in, 0);
            _close(in);
        }
    }
    ~StdinFromFile() {
        _dup2(saved_, 0);
        _close(saved_);
        std::remove(path_.c_str());
    }
    StdinFromFile(const StdinFromFile&) = delete;
    StdinFromFile& operator=(const StdinFromFile&) = delete;

  private:
    std::string path_;
    int saved_ = -1;
};

// Not a console: each prompt takes one byte of the input, and the end of the input is reported,
// so that an unattended run never waits for ever.
TEST(WindowsKeyPress, RedirectedInputAnswersByteByByteThenWithTheEnd) {
    {
        StdinFromFile input(std::string("k\xE0\x03", 3));
        EXPECT_EQ(Platform_ReadKey(), 'k');
        EXPECT_EQ(Platform_ReadKey(), 0xE0);  // a plain byte here, not the lead of a console key
        EXPECT_EQ(Platform_ReadKey(), 0x03);  // and no Ctrl-C
        EXPECT_EQ(Platform_ReadKey(), kKeyEndOfInput);
        EXPECT_EQ(Platform_ReadKey(), kKeyEndOfInput);
    }
    EXPECT_EQ(Platform_StopRequests().count, 0u);
    const int saved = _dup(0);
    _close(0);
    EXPECT_EQ(Platform_ReadKey(), kKeyReadError) << "standard input closed";
    _dup2(saved, 0);
    _close(saved);
}

// The console's keys, pressed through the seam of _getch.
std::vector<int> g_keys;
size_t g_keysRead = 0;

int NextKey() {
    return g_keysRead < g_keys.size() ? g_keys[g_keysRead++] : EOF;
}

TEST(WindowsKeyPress, CtrlCAtTheConsoleIsAStopRequest) {
    const struct {
        std::vector<int> keys;
        int expected;
        size_t taken;
        StopCause stop;
    } cases[] = {
        {{'y', 'n'}, 'y', 1, StopCause::none},
        {{0x03, 'n'}, kKeyStopRequested, 1, StopCause::interrupt},
        {{0xE0, 0x48, 'n'}, 0xE0, 2, StopCause::none},  // an arrow key: both codes
        {{}, kKeyReadError, 0, StopCause::none},        // _getch failed (EOF)
    };
    for (const auto& c : cases) {
        g_keys = c.keys;
        g_keysRead = 0;
        ConsoleWindowsSeam_SetGetch(&NextKey);
        EXPECT_EQ(Platform_ReadKey(), c.expected) << "expected " << c.expected;
        ConsoleWindowsSeam_SetGetch(nullptr);
        const StopRequests stops = Platform_StopRequests();
        PlatformSeam_ClearStops();
        EXPECT_EQ(g_keysRead, c.taken) << "expected " << c.expected;
        EXPECT_EQ(stops.count, c.stop == StopCause::none ? 0u : 1u) << "expected " << c.expected;
        EXPECT_EQ(stops.first, c.stop) << "expected " << c.expected;
        EXPECT_FALSE(stops.urgent);
    }
}

// Only a program started interactively from Explorer (its console's only process, reading that
// console, in a visible window) waits for a key before its window closes; a program that an
// agent or a script starts never hangs there.
TEST(WindowsConsole, OnlyAnInteractiveStartIntoAVisibleWindowOfItsOwnWaitsForAKey) {
    // processes, input is the console, window, visible, started hidden, session 0
    constexpr ConsoleFacts kExplorer{1, true, true, true, false, false};
    const struct {
        const char* name;
        ConsoleFacts facts;
        bool machineOutput;
        bool pauses;
    } cases[] = {
        {"started from Explorer", kExplorer, false, true},
        {"--exit-code", kExplorer, true, false},
        {"a command prompt's console", {2, true, true, true, false, false}, false, false},
        {"redirected input", {1, false, true, true, false, false}, false, false},
        {"no window (CREATE_NO_WINDOW)", {1, true, false, false, false, false}, false, false},
        {"a hidden window", {1, true, true, false, false, false}, false, false},
        {"started with SW_HIDE", {1, true, true, true, true, false}, false, false},
        {"a service's session 0", {1, true, true, true, false, true}, false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ConsoleWindows_PausesAtExit(c.facts, c.machineOutput), c.pauses) << c.name;
    }
}

// A prompt that reads a pipe (an agent's or a script's input): its next byte answers, its end
// ends the prompt, and Ctrl-C or Ctrl-Break, handled before the prompt or while it waits for a
// byte that never comes, ends it without taking a byte.
TEST(WindowsKeyPress, APromptOnAPipeEndsWithItsByteItsEndOrAStopRequest) {
    constexpr DWORD kNone = 0xFFFF;  // CTRL_C_EVENT is 0
    const struct {
        const char* name;
        const char* bytes;  // written; with no event and no byte the writer closes the pipe
        DWORD event;        // the console event handled before the prompt or while it waits
        bool whileWaiting;
        int expected;
    } cases[] = {
        {"a byte", "k", kNone, false, 'k'},
        {"the end of the pipe", "", kNone, false, kKeyEndOfInput},
        {"Ctrl-Break before the prompt", "k", CTRL_BREAK_EVENT, false, kKeyStopRequested},
        {"Ctrl-C while it waits", "", CTRL_C_EVENT, true, kKeyStopRequested},
        {"Ctrl-Break while it waits", "", CTRL_BREAK_EVENT, true, kKeyStopRequested},
    };
    for (const auto& c : cases) {
        int pipe[2] = {-1, -1};
        ASSERT_EQ(_pipe(pipe, 256, _O_BINARY), 0);
        const int saved = _dup(0);
        _dup2(pipe[0], 0);
        _close(pipe[0]);
        _write(pipe[1], c.bytes, static_cast<unsigned>(std::strlen(c.bytes)));
        const bool writerClosed = c.event == kNone && c.bytes[0] == '\0';
        if (writerClosed) {
            _close(pipe[1]);
        }
        if (c.event != kNone && !c.whileWaiting) {
            StopWindows_HandleControl(c.event, kStopCleanupWaitMs);
        }
        // The system runs the handler on a thread of its own; the prompt ends the same whether
        // the request comes before its wait begins or during it.
        std::thread handler([&c] {
            if (c.whileWaiting) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                StopWindows_HandleControl(c.event, kStopCleanupWaitMs);
            }
        });
        EXPECT_EQ(Platform_ReadKey(), c.expected) << c.name;
        handler.join();
        PlatformSeam_ClearStops();
        if (c.bytes[0] != '\0' && c.expected == kKeyStopRequested) {
            EXPECT_EQ(Platform_ReadKey(), c.bytes[0]) << c.name << ": the byte is left unread";
        }
        if (!writerClosed) {
            _close(pipe[1]);
        }
        _dup2(saved, 0);
        _close(saved);
    }
}

// ---- The console's control handler ----

class WindowsStop : public ::testing::Test {
  protected:
    void SetUp() override { Reset(); }
    void TearDown() override { Reset(); }
    static void Reset() {
        PlatformSeam_ClearStops();
        StopWindowsSeam_ResetCleanup();
    }
};

TEST_F(WindowsStop, EachConsoleEventIsRecordedAsItsCause) {
    Platform_EndAsStopRequested();  // returns: nothing was recorded
    const struct {
        DWORD event;
        BOOL handled;
        StopCause cause;
        bool urgent;
    } cases[] = {
        {CTRL_C_EVENT, TRUE, StopCause::interrupt, false},
        {CTRL_BREAK_EVENT, TRUE, StopCause::terminate, false},
        {CTRL_CLOSE_EVENT, TRUE, StopCause::closing, true},
        {CTRL_LOGOFF_EVENT, TRUE, StopCause::closing, true},
        {CTRL_SHUTDOWN_EVENT, TRUE, StopCause::closing, true},
        {3, FALSE, StopCause::none, false},  // no such event: left to the next handler
    };
    for (const auto& c : cases) {
        // The cleanup is done already: a closing event's handler returns at once.
        Platform_StopCleanupDone();
        EXPECT_EQ(StopWindows_HandleControl(c.event, kStopCleanupWaitMs), c.handled)
            << "event " << c.event;
        const StopRequests stops = Platform_StopRequests();
        Reset();
        EXPECT_EQ(stops.count, c.handled != FALSE ? 1u : 0u) << "event " << c.event;
        EXPECT_EQ(stops.first, c.cause) << "event " << c.event;
        EXPECT_EQ(stops.urgent, c.urgent) << "event " << c.event;
    }
}

// The system ends the process as soon as a close handler returns: it holds on until the program
// has cleaned up, and no longer than its wait.
TEST_F(WindowsStop, ACloseHandlerReturnsOnceTheCleanupIsDoneOrItsWaitIsOver) {
    std::atomic<bool> returned{false};
    const ULONGLONG start = GetTickCount64();
    std::thread handler([&] {
        StopWindows_HandleControl(CTRL_CLOSE_EVENT, kStopCleanupWaitMs);
        returned.store(true, std::memory_order_release);
    });
    const bool recorded = WaitUntil([] { return Platform_StopRequests().count == 1; });
    EXPECT_FALSE(returned.load(std::memory_order_acquire)) << "returned before the cleanup";
    Platform_StopCleanupDone();
    handler.join();
    EXPECT_TRUE(recorded);
    EXPECT_LT(GetTickCount64() - start, ULONGLONG{kStopCleanupWaitMs});
    Reset();

    constexpr DWORD kShortWaitMs = 100;
    const ULONGLONG before = GetTickCount64();
    EXPECT_EQ(StopWindows_HandleControl(CTRL_SHUTDOWN_EVENT, kShortWaitMs), TRUE);
    EXPECT_GE(GetTickCount64() - before, ULONGLONG{kShortWaitMs}) << "no cleanup: the whole wait";
}

// The system's own list, walked as the port search walks it: it must end with "no more items"
// (not a failure), and every text it yields fits the buffer with its terminator.
TEST(WindowsDeviceList, TheSystemsListEndsNormallyAndItsTextsAreTerminated) {
    ASSERT_TRUE(Platform_HasSerialPortClass());
    DeviceList* list = Platform_DeviceListOpen();
    ASSERT_NE(list, nullptr);
    uint32_t index = 0;
    DeviceAt at = DeviceAt::present;
    for (; index < 10000 && (at = Platform_DeviceListAt(list, index)) == DeviceAt::present;
         ++index) {
        for (DeviceText which :
             {DeviceText::friendlyName, DeviceText::instanceId, DeviceText::description}) {
            char buffer[kDeviceTextSize];
            std::memset(buffer, 'x', sizeof buffer);
            if (Platform_DeviceListText(list, index, which, buffer)) {
                EXPECT_LT(strnlen(buffer, sizeof buffer), kDeviceTextSize);
            } else {
                EXPECT_EQ(buffer[0], '\0');
            }
        }
    }
    EXPECT_EQ(at, DeviceAt::end);
    // A device reads the same after the walk went past it.
    if (index > 0) {
        char first[kDeviceTextSize];
        char again[kDeviceTextSize];
        const bool ok1 = Platform_DeviceListText(list, 0, DeviceText::instanceId, first);
        const bool ok2 = Platform_DeviceListText(list, 0, DeviceText::instanceId, again);
        EXPECT_EQ(ok1, ok2);
        if (ok1 && ok2) {
            EXPECT_STREQ(first, again);
        }
    }
    EXPECT_EQ(Platform_DeviceListAt(list, index + 5), DeviceAt::end);
    Platform_DeviceListClose(list);
}

}  // namespace
