// The serial port on real pseudo-terminals.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/serial_posix.h"
#include "platform/seams.h"
#include "tests/platform/pty_posix.h"

// Readable results in failure messages.
void PrintTo(SerialOpenResult result, std::ostream* out) {
    static const char* const names[] = {"ok", "openFailed", "configureFailed"};
    *out << names[static_cast<int>(result) % 3];
}
void PrintTo(SerialReadResult result, std::ostream* out) {
    static const char* const names[] = {"byte", "none", "lost", "error"};
    *out << names[static_cast<int>(result) % 4];
}

namespace {

namespace fs = std::filesystem;

// A temporary folder that stands for /dev while it lives.
class TempDevRoot {
  public:
    TempDevRoot() {
        char pattern[] = "/tmp/platform-dev-XXXXXX";
        path_ = mkdtemp(pattern) != nullptr ? pattern : "";
        PlatformSeam_SetPosixRoots(nullptr, path_.c_str());
    }
    ~TempDevRoot() {
        PlatformSeam_SetPosixRoots(nullptr, nullptr);
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Reads one byte, polling for up to two seconds while the port reports none.
SerialReadResult ReadByteWithin(SerialPort* port, uint8_t* out) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        const SerialReadResult result = Platform_SerialReadByte(port, out);
        if (result != SerialReadResult::none || std::chrono::steady_clock::now() >= deadline) {
            return result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

class SerialOnPty : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(pty_.ok());
        ASSERT_EQ(Platform_SerialOpen(pty_.portName().c_str(), &port_), SerialOpenResult::ok);
        ASSERT_NE(port_, nullptr);
    }
    void TearDown() override {
        if (port_ != nullptr) {
            EXPECT_TRUE(Platform_SerialClose(port_));
        }
    }
    TestPty pty_;
    SerialPort* port_ = nullptr;
};

}  // namespace

TEST_F(SerialOnPty, LineIsRawEightBitsAt921600WithoutFlowControl) {
    termios seen{};
    ASSERT_EQ(tcgetattr(pty_.master(), &seen), 0);
    EXPECT_EQ(cfgetospeed(&seen), static_cast<speed_t>(B921600));
    EXPECT_EQ(cfgetispeed(&seen), static_cast<speed_t>(B921600));
    EXPECT_EQ(seen.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(seen.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(seen.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(seen.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(seen.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(seen.c_oflag & OPOST, 0u);
}

TEST_F(SerialOnPty, EveryByteValuePassesBothWaysUnchanged) {
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<uint8_t>(i);
    }
    uint32_t written = 0;
    ASSERT_TRUE(Platform_SerialWrite(port_, all.data(), 256, &written));
    EXPECT_EQ(written, 256u);
    EXPECT_EQ(pty_.Read(256), all);

    ASSERT_TRUE(pty_.Write(all.data(), all.size()));
    std::vector<uint8_t> received;
    uint8_t byte = 0;
    while (received.size() < 256 && ReadByteWithin(port_, &byte) == SerialReadResult::byte) {
        received.push_back(byte);
    }
    EXPECT_EQ(received, all);
}

TEST_F(SerialOnPty, ReadWithoutDataIsNoneAndAClosedOtherSideIsLost) {
    uint8_t byte = 0x55;
    EXPECT_EQ(Platform_SerialReadByte(port_, &byte), SerialReadResult::none);
    EXPECT_EQ(byte, 0x55);

    const uint8_t one = 0xA5;
    ASSERT_TRUE(pty_.Write(&one, 1));
    EXPECT_EQ(ReadByteWithin(port_, &byte), SerialReadResult::byte);
    EXPECT_EQ(byte, 0xA5);

    pty_.CloseMaster();
    EXPECT_EQ(Platform_SerialReadByte(port_, &byte), SerialReadResult::lost);
    uint32_t written = 99;
    EXPECT_FALSE(Platform_SerialWrite(port_, &one, 1, &written));
    EXPECT_EQ(written, 0u);
}

// The read-call seam: the results of read(2) as the receive loop sees them, errno included.
SerialReadCall g_readCall{};
SerialReadCall InjectedRead() {
    return g_readCall;
}

TEST_F(SerialOnPty, ReadCallResultsMapToByteNoneLostAndError) {
    PlatformSeam_SetSerialReadHook(InjectedRead);
    const struct {
        SerialReadCall call;
        SerialReadResult expected;
    } cases[] = {
        {{1, 0x13, 0}, SerialReadResult::byte},    {{-1, 0, EAGAIN}, SerialReadResult::none},
        {{-1, 0, EINTR}, SerialReadResult::none},  {{0, 0, 0}, SerialReadResult::lost},
        {{-1, 0, EIO}, SerialReadResult::lost},    {{-1, 0, ENXIO}, SerialReadResult::lost},
        {{-1, 0, ENODEV}, SerialReadResult::lost}, {{-1, 0, EBADF}, SerialReadResult::error},
    };
    for (const auto& c : cases) {
        g_readCall = c.call;
        uint8_t byte = 0;
        EXPECT_EQ(Platform_SerialReadByte(port_, &byte), c.expected)
            << c.call.got << " " << c.call.error;
        if (c.expected == SerialReadResult::byte) {
            EXPECT_EQ(byte, 0x13);
        }
    }
    PlatformSeam_SetSerialReadHook(nullptr);
}

TEST_F(SerialOnPty, IsExclusiveToItsOpenerInThisAndOtherProcesses) {
    SerialPort* second = nullptr;
    SerialOpenFailure why{};
    EXPECT_EQ(Platform_SerialOpen(pty_.portName().c_str(), &second, &why),
              SerialOpenResult::openFailed);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(why.cause, SerialOpenCause::inUse);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SerialPort* theirs = nullptr;
        _exit(Platform_SerialOpen(pty_.portName().c_str(), &theirs) == SerialOpenResult::openFailed
                  ? 0
                  : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "another process opened the port as well";

    // Closing releases the port for the next opener.
    ASSERT_TRUE(Platform_SerialClose(port_));
    port_ = nullptr;
    ASSERT_EQ(Platform_SerialOpen(pty_.portName().c_str(), &port_, &why), SerialOpenResult::ok);
    EXPECT_EQ(why.cause, SerialOpenCause::none);
}

TEST_F(SerialOnPty, AStalledWriteFailsAndCountsWhatWentOut) {
    // The other side reads nothing, so the pseudo-terminal's buffer fills and the write stalls.
    PosixSerial_SetWriteStallLimitMs(100);
    std::vector<uint8_t> data(1 << 20);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 7);
    }
    uint32_t written = 0;
    const auto start = std::chrono::steady_clock::now();
    const bool ok =
        Platform_SerialWrite(port_, data.data(), static_cast<uint32_t>(data.size()), &written);
    const auto took = std::chrono::steady_clock::now() - start;
    PosixSerial_SetWriteStallLimitMs(0);
    EXPECT_FALSE(ok);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, data.size());
    EXPECT_LT(took, std::chrono::seconds(5));

    const std::vector<uint8_t> drained = pty_.Read(data.size(), 300);
    ASSERT_EQ(drained.size(), written);
    EXPECT_TRUE(std::equal(drained.begin(), drained.end(), data.begin()));
}

TEST(SerialOpen, RefusesNamesThatNameNoSerialDevice) {
    SerialPort* port = reinterpret_cast<SerialPort*>(1);
    EXPECT_EQ(Platform_SerialOpen(nullptr, &port), SerialOpenResult::openFailed);
    EXPECT_EQ(port, nullptr);
    EXPECT_EQ(Platform_SerialOpen("", &port), SerialOpenResult::openFailed);
    SerialOpenFailure why{};
    EXPECT_EQ(Platform_SerialOpen("ttyNoSuchPort99", &port, &why), SerialOpenResult::openFailed);
    EXPECT_EQ(why.cause, SerialOpenCause::absent);
    EXPECT_EQ(why.error, static_cast<uint32_t>(ENOENT));
    // A character device that is no terminal opens but cannot take the line settings.
    EXPECT_EQ(Platform_SerialOpen("null", &port, &why), SerialOpenResult::configureFailed);
    EXPECT_EQ(port, nullptr);
    EXPECT_EQ(why.cause, SerialOpenCause::other);
    EXPECT_NE(why.error, 0u);
}

TEST(SerialOpen, NamesUpTo95CharactersBelowTheDeviceRoot) {
    TestPty pty;
    ASSERT_TRUE(pty.ok());
    TempDevRoot dev;
    ASSERT_FALSE(dev.path().empty());
    const std::string longest(95, 'p');
    const std::string tooLong(96, 'q');
    fs::create_symlink(pty.slavePath(), dev.path() + "/" + longest);
    fs::create_symlink(pty.slavePath(), dev.path() + "/" + tooLong);
    fs::create_directory(dev.path() + "/sub");
    fs::create_symlink(pty.slavePath(), dev.path() + "/sub/port");
    std::FILE* plain = std::fopen((dev.path() + "/plainfile").c_str(), "w");
    ASSERT_NE(plain, nullptr);
    std::fclose(plain);

    SerialPort* port = nullptr;
    EXPECT_EQ(Platform_SerialOpen(tooLong.c_str(), &port), SerialOpenResult::openFailed);
    EXPECT_EQ(Platform_SerialOpen("plainfile", &port), SerialOpenResult::openFailed);
    EXPECT_EQ(Platform_SerialOpen("sub/../sub/port", &port), SerialOpenResult::openFailed)
        << "a name with a \"..\" component is refused";
    ASSERT_EQ(Platform_SerialOpen("sub/port", &port), SerialOpenResult::ok);
    EXPECT_TRUE(Platform_SerialClose(port));
    ASSERT_EQ(Platform_SerialOpen(longest.c_str(), &port), SerialOpenResult::ok);
    EXPECT_TRUE(Platform_SerialClose(port));
}
