// The Windows platform layer's own rules: the device path built for a port name, the line
// settings laid over the driver's, the time-outs, and the walk of the system's device list.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/windows/serial_windows.h"

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

TEST(WindowsSerialPort, NoNameOrNoDeviceDoesNotOpen) {
    SerialPort* port = reinterpret_cast<SerialPort*>(1);
    EXPECT_EQ(Platform_SerialOpen(nullptr, &port), SerialOpenResult::openFailed);
    EXPECT_EQ(port, nullptr);
    EXPECT_EQ(Platform_SerialOpen("", &port), SerialOpenResult::openFailed);
    EXPECT_EQ(Platform_SerialOpen("COM231", &port), SerialOpenResult::openFailed);
    EXPECT_STREQ(Platform_PortNameMarker(), "(COM");
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

// Not a console: each prompt takes one byte of the input, and the end of the input answers too,
// so that an unattended run never waits for ever.
TEST(WindowsKeyPress, RedirectedInputAnswersByteByByteThenWithTheEnd) {
    StdinFromFile input(std::string("k\xE0", 2));
    EXPECT_EQ(Platform_ReadKey(), 'k');
    EXPECT_EQ(Platform_ReadKey(), 0xE0);  // a plain byte here, not the lead of a console key
    EXPECT_EQ(Platform_ReadKey(), -1);
    EXPECT_EQ(Platform_ReadKey(), -1);
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
