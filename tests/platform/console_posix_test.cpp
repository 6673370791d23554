// The key press, read from standard input replaced by a pipe or a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "tests/platform/pty_posix.h"

namespace {

// Puts fd in the place of standard input for its lifetime.
class StdinReplaced {
  public:
    explicit StdinReplaced(int fd) : saved_(dup(STDIN_FILENO)) { dup2(fd, STDIN_FILENO); }
    ~StdinReplaced() {
        dup2(saved_, STDIN_FILENO);
        close(saved_);
    }

  private:
    int saved_;
};

template <typename Condition>
bool WaitFor(Condition condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

TEST(ReadKey, TakesOneByteAtATimeFromAPipeAndMinusOneAtItsEnd) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const unsigned char keys[] = {'j', 0xFF, '\n'};
    ASSERT_EQ(write(pipeFds[1], keys, sizeof keys), static_cast<ssize_t>(sizeof keys));
    close(pipeFds[1]);
    {
        StdinReplaced replaced(pipeFds[0]);
        EXPECT_EQ(Platform_ReadKey(), 'j');
        EXPECT_EQ(Platform_ReadKey(), 0xFF) << "byte 255 is a key, not the end of input";
        EXPECT_EQ(Platform_ReadKey(), '\n');
        EXPECT_EQ(Platform_ReadKey(), -1);
        EXPECT_EQ(Platform_ReadKey(), -1);
    }
    close(pipeFds[0]);
}

TEST(ReadKey, OnATerminalTakesTheKeyWithoutEnterOrEchoAndRestoresTheSettings) {
    TestPty pty;
    ASSERT_TRUE(pty.ok());
    const int terminal = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    termios before{};
    ASSERT_EQ(tcgetattr(terminal, &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0u) << "a new terminal starts in line mode";
    ASSERT_NE(before.c_lflag & ECHO, 0u);

    {
        StdinReplaced replaced(terminal);
        std::atomic<int> key{-2};
        std::thread reader([&] { key.store(Platform_ReadKey()); });
        // Type the key only once the terminal has left line mode, so that the echo setting in
        // force when the key arrives is the one under test.
        const bool raw = WaitFor(
            [&] {
                termios now{};
                return tcgetattr(terminal, &now) == 0 && (now.c_lflag & (ICANON | ECHO)) == 0;
            },
            5000);
        EXPECT_TRUE(raw) << "the terminal was not switched to single-key mode";
        const uint8_t k = 'k';
        ASSERT_TRUE(pty.Write(&k, 1));
        const bool answered = WaitFor([&] { return key.load() != -2; }, 5000);
        if (!answered) {
            const uint8_t enter = '\n';  // free the reader so that the test can end
            pty.Write(&enter, 1);
        }
        reader.join();
        EXPECT_TRUE(answered) << "the key was not taken without Enter";
        EXPECT_EQ(key.load(), 'k');
    }
    EXPECT_TRUE(pty.Read(1, 200).empty()) << "the key was echoed";

    termios after{};
    ASSERT_EQ(tcgetattr(terminal, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
    EXPECT_EQ(after.c_cc[VTIME], before.c_cc[VTIME]);
    close(terminal);
}
