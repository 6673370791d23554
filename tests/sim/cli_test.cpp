// The command line of iolink-virtual-master, and the executable itself: first line, serving,
// the stable link, the end at end of input or at SIGTERM, and the dump.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/cli.h"
#include "tests/sim/host_port.h"

extern char** environ;

namespace {

TEST(Cli, FaultDescriptionsFillTheRecord) {
    uint8_t type = 0;
    VmFault f;
    std::string error;
    ASSERT_TRUE(VmFault_Parse("0xCB:from=100,count=1,vanish,comeback=500", type, f, error));
    EXPECT_EQ(type, 0xCB);
    EXPECT_EQ(f.from, 100u);
    EXPECT_EQ(f.count, 1u);
    EXPECT_TRUE(f.vanish);
    EXPECT_EQ(f.comebackMs, 500);

    ASSERT_TRUE(VmFault_Parse(
        "202:status=5,type=0x67,late=30,trickle=1000,stall,pad=501,garbage=3,event-port=16,"
        "event-len=7,log=3,verdict=fail,busy=2,no-comeback,silent",
        type, f, error));
    EXPECT_EQ(type, 202);
    EXPECT_EQ(f.status, 5);
    EXPECT_EQ(f.responseType, 0x67);
    EXPECT_EQ(f.lateMs, 30u);
    EXPECT_EQ(f.trickleMs, 1000u);
    EXPECT_TRUE(f.stallHeader);
    EXPECT_EQ(f.padTo, 501);
    EXPECT_EQ(f.garbage, 3);
    EXPECT_EQ(f.eventPort, 16);
    EXPECT_EQ(f.eventLength, 7);
    EXPECT_EQ(f.logValues, 3);
    EXPECT_EQ(f.verdict, VmVerdict::Failure);
    EXPECT_EQ(f.busyEvents, 2);
    EXPECT_TRUE(f.noComeback);
    EXPECT_TRUE(f.silent);

    for (const char* bad : {"0xCB", "0x1CB:silent", "0xCB:status=0", "0xCB:late",
                            "0xCB:verdict=maybe", "0xCB:wobble", "0xCB:event-len=13"}) {
        error.clear();
        EXPECT_FALSE(VmFault_Parse(bad, type, f, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(Cli, OptionsSetIdentityTimingAndFaults) {
    VmOptions o;
    std::string error;
    ASSERT_TRUE(
        VmOptions_Parse({"--main", "2.0.5", "--stack", "1.2.0", "--edition", "XE", "--id", "ab,7",
                         "--after-update-main", "2.1.7", "--boot-mode", "--restart-ms", "50",
                         "--fault", "0xCE:busy=1", "--dump", "/tmp/x", "--no-stdin"},
                        o, error))
        << error;
    EXPECT_EQ(std::string(o.identity.main, 3), "205");
    EXPECT_EQ(std::string(o.identity.stack, 3), "120");
    EXPECT_EQ(std::string(o.identity.edition, 2), "XE");
    EXPECT_EQ(o.identity.idBytes[0], 0xAB);
    EXPECT_EQ(o.identity.idBytes[1], 0x07);
    ASSERT_TRUE(o.hasAfterUpdate);
    EXPECT_EQ(std::string(o.afterUpdate.main, 3), "217");
    EXPECT_EQ(std::string(o.afterUpdate.edition, 2), "XE");  // the rest as before the update
    EXPECT_TRUE(o.bootMode);
    EXPECT_EQ(o.timing.restartDelayMs, 50u);
    ASSERT_EQ(o.faults.size(), 1u);
    EXPECT_EQ(o.faults[0].first, 0xCE);
    EXPECT_EQ(o.faults[0].second.busyEvents, 1);
    EXPECT_EQ(o.dumpDir, "/tmp/x");
    EXPECT_FALSE(o.useStdin);

    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--main", "3.0"},
                                               {"--edition", "SEX"},
                                               {"--restart-ms", "-1"},
                                               {"--stack"},
                                               {"--frobnicate"}}) {
        VmOptions p;
        error.clear();
        EXPECT_FALSE(VmOptions_Parse(bad, p, error)) << bad[0];
        EXPECT_FALSE(error.empty());
    }
    EXPECT_NE(std::string(VmOptions_Help()).find("--fault TYPE:key"), std::string::npos);
}

// The executable as a child process with pipes on its standard input and output.
struct Child {
    pid_t pid = -1;
    int in = -1;   // its standard input
    int out = -1;  // its standard output

    bool Spawn(const std::vector<std::string>& args) {
        int inPipe[2];
        int outPipe[2];
        if (pipe(inPipe) != 0 || pipe(outPipe) != 0) {
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
        posix_spawn_file_actions_addclose(&actions, inPipe[1]);
        posix_spawn_file_actions_addclose(&actions, outPipe[0]);
        std::vector<std::string> all = {VIRTUAL_MASTER_EXE};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(inPipe[0]);
        close(outPipe[1]);
        in = inPipe[1];
        out = outPipe[0];
        return rc == 0;
    }

    // One line of its output (without the newline), waiting at most timeoutMs.
    std::string Line(uint32_t timeoutMs) {
        std::string line;
        const auto start = SteadyClock::now();
        while (MsSince(start) < timeoutMs) {
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) {
                continue;
            }
            char c;
            if (read(out, &c, 1) != 1) {
                break;
            }
            if (c == '\n') {
                return line;
            }
            line += c;
        }
        return line;
    }

    // Its exit status once it ended within timeoutMs; killed and -1 otherwise.
    int Wait(uint32_t timeoutMs) {
        const auto start = SteadyClock::now();
        int status = 0;
        while (MsSince(start) < timeoutMs) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

    ~Child() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (in >= 0) {
            close(in);
        }
        if (out >= 0) {
            close(out);
        }
    }
};

std::string TempDir() {
    char dir[] = "/tmp/iolink-sim-test-XXXXXX";
    return mkdtemp(dir) ? std::string(dir) : std::string();
}

std::string ReadText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST(Executable, ServesUntilEndOfInputAndDumpsWhatItReceived) {
    const std::string dir = TempDir();
    ASSERT_FALSE(dir.empty());
    Child child;
    ASSERT_TRUE(child.Spawn({"--main", "2.1.7", "--fault", "0xDD:status=7", "--dump", dir}));
    const std::string path = child.Line(5000);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    {
        HostPort host(path);
        ASSERT_TRUE(host.ok());
        const Bytes info = host.Exchange(Request(0x67));
        ASSERT_EQ(info.size(), 19u);
        EXPECT_EQ(info[5], '2');
        EXPECT_EQ(info[7], '7');
        EXPECT_EQ(host.Exchange(Request(0xDD)), Bytes({6, 0, 2, 0xDD, 0, 7}));
        EXPECT_EQ(host.Exchange(Request(0xE7, 0))[5], 0);
        EXPECT_EQ(host.Exchange(StackWriteRequest(0x10, {0xAA, 0xBB}))[5], 0);
    }
    close(child.in);
    child.in = -1;
    EXPECT_EQ(child.Wait(5000), 0);
    EXPECT_EQ(ReadText(dir + "/received.txt"),
              "05 00 02 67 00\n05 00 02 DD 00\n05 00 02 E7 00\n"
              "0C 00 02 E8 00 10 00 00 00 02 AA BB\n");
    const std::string stack = ReadText(dir + "/stack.bin");
    ASSERT_EQ(stack.size(), 0xFFFFu);
    EXPECT_EQ(uint8_t(stack[0x10]), 0xAA);
    EXPECT_EQ(uint8_t(stack[0x11]), 0xBB);
    EXPECT_EQ(uint8_t(stack[0x12]), 0xFF);
    EXPECT_EQ(ReadText(dir + "/flash3.bin").size(), 0x20000u);
    EXPECT_EQ(ReadText(dir + "/flash2.bin").size(), 0x10000u);
    EXPECT_EQ(ReadText(dir + "/stackid.bin"), "");
    EXPECT_EQ(ReadText(dir + "/violations.txt"), "");
    std::filesystem::remove_all(dir);
}

TEST(Executable, KeepsALinkOnTheCurrentPtyAndEndsAtSigterm) {
    const std::string dir = TempDir();
    ASSERT_FALSE(dir.empty());
    const std::string link = dir + "/ttyACM0";
    Child child;
    ASSERT_TRUE(child.Spawn({"--no-stdin", "--link", link, "--fault", "0xDD:vanish,comeback=100"}));
    const std::string path = child.Line(5000);
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), path);
    {
        HostPort host(link);
        ASSERT_TRUE(host.ok());
        host.Send(Request(0xDD));
        EXPECT_EQ(child.Line(3000), "unplugged");
        const std::string again = child.Line(3000);
        ASSERT_EQ(again.rfind("plugged /dev/pts/", 0), 0u) << again;
        std::fill(std::begin(target), std::end(target), 0);
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ("plugged " + std::string(target), again);
    }
    HostPort host(link);
    EXPECT_EQ(host.Exchange(Request(0x67)).size(), 19u);
    // Still serving with its standard input at an end? No: --no-stdin ignores it; SIGTERM ends.
    close(child.in);
    child.in = -1;
    EXPECT_EQ(host.Exchange(Request(0x67)).size(), 19u);
    kill(child.pid, SIGTERM);
    EXPECT_EQ(child.Wait(5000), 0);
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0);  // the link is gone with the master
    std::filesystem::remove_all(dir);
}

TEST(Executable, HelpNamesTheFaults) {
    Child child;
    ASSERT_TRUE(child.Spawn({"--help"}));
    EXPECT_EQ(child.Line(5000).rfind("iolink-virtual-master:", 0), 0u);
    EXPECT_EQ(child.Wait(5000), 0);
}

}  // namespace
