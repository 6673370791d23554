// iolink-wine-bench: runs a Windows test program under Wine against a virtual master.
//
// The Windows program cannot host the virtual master (it needs pseudo-terminals), so this native
// program does: it serves a virtual master on a pseudo-terminal and maps it into the Wine prefix
// as COM<n> (a dosdevices link, moved along when the master replugs), opens a second
// pseudo-terminal as the control port COM<n+1>, and runs the given command with the two port
// names in IOLINK_TEST_PORT and IOLINK_TEST_CONTROL and the dump folder, as Wine sees it, in
// IOLINK_TEST_DUMP. The program under test drives the master through the control port with one
// command a line; each answer ends with a line "ok" or "error <reason>":
//
//   restart [options]   a fresh master with iolink-virtual-master's identity, timing and fault
//                       options (the previous one is unplugged and dropped)
//   fault TYPE:...      one more fault, in the --fault syntax
//   event P D0 D1 D2 D3 D4 CODE   a port event (hexadecimal numbers)
//   raw B B ...         bytes to the host as they are (hexadecimal)
//   slow MS B B ...     the same, MS (decimal) milliseconds between bytes
//   silent 0|1          answer nothing / answer again
//   unplug, replug      the master leaves / comes back (on a new pseudo-terminal)
//   clear               forget the frames received so far
//   dump                write received.txt, flash3.bin, flash2.bin, stack.bin, stackid.bin and
//                       violations.txt into the dump folder
//
// Exit status: the command's, or 125 when the bench itself failed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/cli.h"
#include "sim/virtual_master.h"
#include "tests/windows/host/wine_path.h"

extern char** environ;

namespace {

constexpr int kBenchFailed = 125;
constexpr int kPollMs = 50;

struct BenchOptions {
    std::string prefix;
    int masterCom = 5;
    std::string dumpDir;
    uint32_t timeoutS = 600;
    std::vector<std::string> command;
};

// Points `link` at `target` by renaming a fresh link over it, so that it is never missing.
bool MoveLink(const std::string& link, const std::string& target) {
    const std::string tmp = link + ".tmp";
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0) {
        return false;
    }
    if (::rename(tmp.c_str(), link.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

bool ParseHex(const std::string& text, uint32_t limit, uint32_t& out) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text.c_str(), &end, 16);
    if (text.empty() || *end != '\0' || value > limit) {
        return false;
    }
    out = static_cast<uint32_t>(value);
    return true;
}

bool ParseBytes(const std::vector<std::string>& words, size_t from, Bytes& out) {
    for (size_t i = from; i < words.size(); ++i) {
        uint32_t value = 0;
        if (!ParseHex(words[i], 0xFF, value)) {
            return false;
        }
        out.push_back(static_cast<uint8_t>(value));
    }
    return true;
}

// The master under test and its COM port link in the prefix.
class Master {
  public:
    explicit Master(std::string link) : link_(std::move(link)) {}
    ~Master() { Drop(); }

    // A fresh master with the given options; false with `error` set when it cannot be had.
    bool Restart(const std::vector<std::string>& args, std::string& error) {
        VmOptions options;
        if (!VmOptions_Parse(args, options, error)) {
            return false;
        }
        Drop();
        vm_ = std::make_unique<VirtualMaster>();
        VmOptions_Apply(options, *vm_);
        const std::string link = link_;
        vm_->SetPlugListener([link](bool plugged, const std::string& path) {
            if (plugged) {
                MoveLink(link, path);
            } else {
                ::unlink(link.c_str());
            }
        });
        if (!vm_->Start()) {
            error = "no pseudo-terminal for the master";
            vm_.reset();
            return false;
        }
        return true;
    }

    VirtualMaster* Get() { return vm_.get(); }

  private:
    void Drop() {
        if (vm_) {
            vm_->SetPlugListener(nullptr);
            vm_->Stop();
            vm_.reset();
        }
        ::unlink(link_.c_str());
    }

    std::string link_;
    std::unique_ptr<VirtualMaster> vm_;
};

// Carries out one control command; data lines (none so far) would precede the final line.
std::string Execute(const std::string& line, Master& master, const std::string& dumpDir) {
    const std::vector<std::string> words = Words(line);
    if (words.empty()) {
        return "error empty command";
    }
    const std::string& name = words[0];
    std::string error;
    if (name == "restart") {
        return master.Restart({words.begin() + 1, words.end()}, error) ? "ok" : "error " + error;
    }
    VirtualMaster* vm = master.Get();
    if (vm == nullptr) {
        return "error no master";
    }
    if (name == "fault" && words.size() == 2) {
        uint8_t type = 0;
        VmFault fault;
        if (!VmFault_Parse(words[1], type, fault, error)) {
            return "error " + error;
        }
        vm->SetFault(type, fault);
        return "ok";
    }
    if (name == "event" && words.size() == 8) {
        uint32_t port = 0;
        uint32_t code = 0;
        Bytes data;
        if (!ParseHex(words[1], 0xFF, port) || !ParseHex(words[7], 0xFFFF, code) ||
            !ParseBytes({words.begin(), words.begin() + 7}, 2, data)) {
            return "error bad event";
        }
        vm->SendPortEvent(static_cast<uint8_t>(port), data.data(), static_cast<uint16_t>(code));
        return "ok";
    }
    if (name == "raw" || name == "slow") {
        const size_t from = name == "raw" ? 1 : 2;
        uint32_t gap = 0;
        Bytes bytes;
        if (name == "slow") {
            char* end = nullptr;
            gap = static_cast<uint32_t>(
                std::strtoul(words.size() > 1 ? words[1].c_str() : "", &end, 10));
            if (end == nullptr || *end != '\0' || gap > 10000) {
                return "error bad gap";
            }
        }
        if (words.size() <= from || !ParseBytes(words, from, bytes)) {
            return "error bad bytes";
        }
        if (name == "raw") {
            vm->SendRaw(bytes);
        } else {
            vm->SendRawSlowly(bytes, gap);
        }
        return "ok";
    }
    if (name == "silent" && words.size() == 2) {
        vm->SetSilent(words[1] == "1");
        return "ok";
    }
    if (name == "unplug") {
        vm->Unplug();
        return "ok";
    }
    if (name == "replug") {
        return vm->Replug() ? "ok" : "error replug failed";
    }
    if (name == "clear") {
        vm->ClearReceived();
        return "ok";
    }
    if (name == "dump") {
        return Vm_WriteDump(*vm, dumpDir) ? "ok" : "error dump not written";
    }
    return "error unknown command: " + line;
}

// The control port: a pseudo-terminal whose other side the program under test opens as COM<n>.
class ControlPort {
  public:
    ~ControlPort() {
        if (slave_ >= 0) {
            ::close(slave_);
        }
        if (master_ >= 0) {
            ::close(master_);
        }
    }

    bool Open() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
            return false;
        }
        const char* name = ::ptsname(master_);
        if (name == nullptr) {
            return false;
        }
        path_ = name;
        // Held open here, so that the control side sees no hang-up between two opens by the
        // program under test; raw, so that the lines pass unchanged.
        slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        if (slave_ < 0 || ::tcgetattr(slave_, &raw) != 0) {
            return false;
        }
        ::cfmakeraw(&raw);
        return ::tcsetattr(slave_, TCSANOW, &raw) == 0;
    }

    const std::string& Path() const { return path_; }

    // Serves commands until `stop` is set.
    void Serve(Master& master, const std::string& dumpDir, const std::atomic<bool>& stop) {
        std::string pending;
        while (!stop.load(std::memory_order_acquire)) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, kPollMs) <= 0 || (p.revents & POLLIN) == 0) {
                continue;
            }
            char buffer[512];
            const ssize_t got = ::read(master_, buffer, sizeof buffer);
            if (got <= 0) {
                continue;
            }
            pending.append(buffer, static_cast<size_t>(got));
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                Reply(Execute(line, master, dumpDir) + "\n");
            }
        }
    }

  private:
    void Reply(const std::string& text) {
        size_t sent = 0;
        while (sent < text.size()) {
            const ssize_t put = ::write(master_, text.data() + sent, text.size() - sent);
            if (put <= 0) {
                return;
            }
            sent += static_cast<size_t>(put);
        }
    }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

bool ParseOptions(int argc, char** argv, BenchOptions& options) {
    int i = 1;
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (i + 1 >= argc) {
            return false;
        }
        const std::string value = argv[++i];
        if (arg == "--prefix") {
            options.prefix = value;
        } else if (arg == "--com") {
            options.masterCom = std::atoi(value.c_str());
        } else if (arg == "--dump") {
            options.dumpDir = value;
        } else if (arg == "--timeout") {
            options.timeoutS = static_cast<uint32_t>(std::atoi(value.c_str()));
        } else {
            return false;
        }
    }
    options.command.assign(argv + i, argv + argc);
    return !options.prefix.empty() && !options.dumpDir.empty() && !options.command.empty() &&
           options.masterCom >= 1 && options.masterCom < 255 && options.timeoutS > 0;
}

// Runs the command and waits for it, at most timeoutS seconds (then it is killed).
int RunCommand(const std::vector<std::string>& command, uint32_t timeoutS) {
    std::vector<char*> args;
    for (const std::string& arg : command) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    pid_t child = 0;
    const int spawned = ::posix_spawnp(&child, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        std::fprintf(stderr, "wine bench: cannot start %s: %s\n", args[0], std::strerror(spawned));
        return kBenchFailed;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutS);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : kBenchFailed;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "wine bench: %s did not end within %u s\n", args[0], timeoutS);
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return kBenchFailed;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}

}  // namespace

int main(int argc, char** argv) {
    BenchOptions options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: iolink-wine-bench --prefix WINEPREFIX --dump DIR [--com N] "
                     "[--timeout S] -- COMMAND [ARGS...]\n");
        return kBenchFailed;
    }
    std::signal(SIGPIPE, SIG_IGN);
    ::mkdir(options.dumpDir.c_str(), 0755);
    const std::string dosdevices = options.prefix + "/dosdevices/";
    const std::string masterName = "COM" + std::to_string(options.masterCom);
    const std::string controlName = "COM" + std::to_string(options.masterCom + 1);
    const std::string controlLink = dosdevices + "com" + std::to_string(options.masterCom + 1);

    Master master(dosdevices + "com" + std::to_string(options.masterCom));
    std::string error;
    if (!master.Restart({}, error)) {
        std::fprintf(stderr, "wine bench: %s\n", error.c_str());
        return kBenchFailed;
    }
    ControlPort control;
    if (!control.Open() || !MoveLink(controlLink, control.Path())) {
        std::fprintf(stderr, "wine bench: no control port\n");
        return kBenchFailed;
    }
    ::setenv("IOLINK_TEST_PORT", masterName.c_str(), 1);
    ::setenv("IOLINK_TEST_CONTROL", controlName.c_str(), 1);
    ::setenv("IOLINK_TEST_DUMP", WinePath(options.dumpDir).c_str(), 1);

    std::atomic<bool> stop{false};
    std::thread server([&] { control.Serve(master, options.dumpDir, stop); });
    const int status = RunCommand(options.command, options.timeoutS);
    stop.store(true, std::memory_order_release);
    server.join();
    ::unlink(controlLink.c_str());
    return status;
}
