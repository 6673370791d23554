#include "tests/e2e/bench.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

void WriteFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

void Symlink(const std::string& target, const fs::path& link) {
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_directories(link.parent_path());
    fs::create_symlink(target, link);
}

// The shell run as the namespace's first process: it puts the bench's tree over /sys and /dev
// (keeping the host's null, zero, tty, ptmx, pts and shm visible) and then becomes the updater.
// A further script given to the bench (setup) runs after the mounts, before the command.
const char* const kNamespaceScript = R"(set -e
B="$1"; S="$2"; shift 2
mount --rbind /dev "$B/hostdev"
mount --bind "$B/sys" /sys
mount --bind "$B/dev" /dev
for n in null zero tty ptmx; do mount --bind "$B/hostdev/$n" "/dev/$n"; done
mount --rbind "$B/hostdev/pts" /dev/pts
mount --rbind "$B/hostdev/shm" /dev/shm
eval "$S"
exec "$@"
)";

std::vector<std::string> UnshareCommand() {
    // As root a mount namespace suffices; otherwise a user namespace maps us to root in it.
    if (geteuid() == 0) {
        return {"unshare", "-m", "--propagation", "private"};
    }
    return {"unshare", "-r", "-m", "--propagation", "private"};
}

struct Child {
    pid_t pid = -1;
    int in = -1;
    int out = -1;
    int err = -1;
};

Child Spawn(const std::vector<std::string>& command) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return {};
    }
    std::vector<char*> argv;
    for (const std::string& s : command) {
        argv.push_back(const_cast<char*>(s.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        return {};
    }
    return Child{pid, in[1], out[0], err[0]};
}

}  // namespace

// IOLINK_E2E_UPDATER names another updater to run instead, and IOLINK_E2E_RUN_AS the command
// (words separated by spaces) to run it through: `make test-cross` runs another architecture's
// program under qemu-user this way.
std::string Bench::UpdaterPath() {
    const char* path = std::getenv("IOLINK_E2E_UPDATER");
    return path != nullptr && *path != '\0' ? path : IOLINK_UPDATER_PATH;
}

std::string Bench::RefusingUpdaterPath() {
    return IOLINK_REFUSING_UPDATER_PATH;
}

std::string Bench::Unavailable() {
    std::vector<std::string> command = UnshareCommand();
    for (const char* word : {"sh", "-c", "mount -t tmpfs none /mnt"}) {
        command.push_back(word);
    }
    Child child = Spawn(command);
    if (child.pid < 0) {
        return "cannot start unshare";
    }
    close(child.in);
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = read(child.err, buffer, sizeof(buffer))) > 0) {
        text.append(buffer, static_cast<size_t>(n));
    }
    close(child.out);
    close(child.err);
    int status = 0;
    waitpid(child.pid, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return "";
    }
    return "mount namespaces are not allowed here: " + text;
}

Bench::Bench() {
    if (const char* runAs = std::getenv("IOLINK_E2E_RUN_AS")) {
        std::istringstream words(runAs);
        for (std::string word; words >> word;) {
            runAs_.push_back(word);
        }
    }
    char pattern[] = "/tmp/iolink-bench-XXXXXX";
    root_ = mkdtemp(pattern);
    for (const char* dir :
         {"sys/class/tty", "sys/bus/usb", "sys/devices/pci0000:00/0000:00:14.0/usb1", "dev/pts",
          "dev/shm", "hostdev"}) {
        fs::create_directories(fs::path(root_) / dir);
    }
    for (const char* node : {"null", "zero", "tty", "ptmx"}) {
        WriteFile(fs::path(root_) / "dev" / node, "");
    }
}

Bench::~Bench() {
    for (auto& device : masters_) {
        device->vm->SetPlugListener(nullptr);
        device->vm->Stop();
    }
    std::error_code ec;
    fs::remove_all(root_, ec);
}

// The kernel's layout for a CDC-ACM device: the USB device folder holds the descriptors, its
// interface folder 1-n:1.0 holds tty/ttyACMn, whose `device` link points back at the interface;
// /sys/class/tty/ttyACMn links to that tty folder.
VirtualMaster& Bench::AddMaster(const VmIdentity& identity, const BenchUsb& usbIdentity) {
    auto device = std::make_unique<Device>();
    device->vm = std::make_unique<VirtualMaster>();
    device->tty = "ttyACM" + std::to_string(masters_.size());
    ++usbCount_;
    const std::string usb = "1-" + std::to_string(usbCount_);
    device->usbDir = "devices/pci0000:00/0000:00:14.0/usb1/" + usb;
    const fs::path usbPath = fs::path(root_) / "sys" / device->usbDir;
    WriteFile(usbPath / "idVendor", "6f3a\n");
    WriteFile(usbPath / "idProduct", usbIdentity.idProduct + "\n");
    WriteFile(usbPath / "manufacturer", "Norvik GmbH\n");
    if (usbIdentity.productString) {
        WriteFile(usbPath / "product", "IO-Link USB Master\n");
    }
    WriteFile(usbPath / "serial", "VM" + std::to_string(usbCount_) + "\n");
    // What udev reads of each device: its uevent and its subsystem link.
    const std::string minor = std::to_string(masters_.size());
    WriteFile(usbPath / "uevent", "MAJOR=189\nMINOR=" + std::to_string(usbCount_) +
                                      "\nDEVNAME=bus/usb/001/00" + std::to_string(usbCount_) +
                                      "\nDEVTYPE=usb_device\nPRODUCT=6f3a/" +
                                      usbIdentity.idProduct + "/100\n");
    Symlink("../../../../../bus/usb", usbPath / "subsystem");
    const fs::path interfacePath = usbPath / (usb + ":1.0");
    WriteFile(interfacePath / "uevent", "DEVTYPE=usb_interface\nDRIVER=cdc_acm\n");
    Symlink("../../../../../../bus/usb", interfacePath / "subsystem");
    const fs::path ttyPath = interfacePath / "tty" / device->tty;
    fs::create_directories(ttyPath);
    Symlink("../../../" + usb + ":1.0", ttyPath / "device");
    Symlink("../../../../../../../../class/tty", ttyPath / "subsystem");
    WriteFile(ttyPath / "dev", "166:" + minor + "\n");
    WriteFile(ttyPath / "uevent", "MAJOR=166\nMINOR=" + minor + "\nDEVNAME=" + device->tty + "\n");

    VirtualMaster& vm = *device->vm;
    vm.SetIdentity(identity);
    // A master restarts after its swap only once the updater has had time to read the verdict,
    // which it polls every 500 ms.
    VmTiming timing;
    timing.restartDelayMs = 1500;
    vm.SetTiming(timing);
    Device* raw = device.get();
    vm.SetPlugListener([this, raw](bool plugged, const std::string& slavePath) {
        Plug(*raw, plugged, slavePath);
    });
    masters_.push_back(std::move(device));
    vm.Start();
    if (vm.IsPlugged()) {
        Plug(*raw, true, vm.SlavePath());
    }
    return vm;
}

void Bench::AddForeignDevice() {
    ++usbCount_;
    const std::string usb = "1-" + std::to_string(usbCount_);
    const std::string tty = "ttyUSB" + std::to_string(foreignCount_++);
    const fs::path usbPath = fs::path(root_) / "sys/devices/pci0000:00/0000:00:14.0/usb1" / usb;
    WriteFile(usbPath / "idVendor", "0403\n");
    WriteFile(usbPath / "idProduct", "6001\n");
    WriteFile(usbPath / "product", "USB Serial Converter\n");
    const fs::path ttyPath = usbPath / (usb + ":1.0") / tty / "tty" / tty;
    fs::create_directories(ttyPath);
    Symlink("../../../" + tty, ttyPath / "device");
    Symlink("../../devices/pci0000:00/0000:00:14.0/usb1/" + usb + "/" + usb + ":1.0/" + tty +
                "/tty/" + tty,
            fs::path(root_) / "sys/class/tty" / tty);
    WriteFile(fs::path(root_) / "dev" / tty, "");
}

// An unplug takes the device node and the class entry away, as the kernel does; a replug brings
// them back, the node now leading to the new pseudo-terminal.
void Bench::Plug(const Device& device, bool plugged, const std::string& slavePath) {
    const fs::path node = fs::path(root_) / "dev" / device.tty;
    const fs::path classLink = fs::path(root_) / "sys/class/tty" / device.tty;
    std::error_code ec;
    if (!plugged) {
        fs::remove(node, ec);
        fs::remove(classLink, ec);
        return;
    }
    const std::string prefix = "/dev/";
    const std::string target =
        slavePath.rfind(prefix, 0) == 0 ? slavePath.substr(prefix.size()) : slavePath;
    const std::string usb = fs::path(device.usbDir).filename().string();
    Symlink("../../" + device.usbDir + "/" + usb + ":1.0/tty/" + device.tty, classLink);
    Symlink(target, node);
}

bool Bench::ReplugMaster(size_t index) {
    Device& device = *masters_.at(index);
    device.vm->Unplug();
    device.vm->Replug();
    const fs::path node = fs::path(root_) / "dev" / device.tty;
    for (int i = 0; i < 500; ++i) {
        std::error_code ec;
        const std::string target = fs::read_symlink(node, ec).string();
        if (!ec && device.vm->IsPlugged() && "/dev/" + target == device.vm->SlavePath()) {
            return true;
        }
        usleep(10000);
    }
    return false;
}

BenchRun Bench::Run(const std::vector<std::string>& args, uint32_t timeoutMs,
                    const Watcher& watcher, const Echo& echo) {
    std::vector<std::string> command = runAs_;
    command.push_back(updater_);
    command.insert(command.end(), args.begin(), args.end());
    return RunInNamespace(command, "", timeoutMs, watcher, echo);
}

std::string Bench::TtySysPath(size_t index) const {
    const Device& device = *masters_.at(index);
    const std::string usb = fs::path(device.usbDir).filename().string();
    return "/" + device.usbDir + "/" + usb + ":1.0/tty/" + device.tty;
}

BenchRun Bench::RunInNamespace(const std::vector<std::string>& commandLine,
                               const std::string& setup, uint32_t timeoutMs, const Watcher& watcher,
                               const Echo& echo) {
    std::vector<std::string> command = UnshareCommand();
    command.insert(command.end(), {"sh", "-c", kNamespaceScript, "sh", root_, setup});
    command.insert(command.end(), commandLine.begin(), commandLine.end());
    // The process is unshare, then the shell that mounts the tree, then the updater (each one
    // exec's the next); the few mount commands the shell runs count in its CPU time as well.
    const BenchRun run = RunProcess(command, timeoutMs, watcher, echo, &running_);
    running_ = -1;
    return run;
}

void Bench::Signal(int sig) const {
    if (running_ > 0) {
        kill(running_, sig);
    }
}

BenchRun RunProcess(const std::vector<std::string>& command, uint32_t timeoutMs,
                    const Bench::Watcher& watcher, const Bench::Echo& echo, int* started) {
    BenchRun run;
    // A write to the standard input of an updater that has ended must not end this process.
    signal(SIGPIPE, SIG_IGN);
    Child child = Spawn(command);
    if (child.pid < 0) {
        return run;
    }
    if (started != nullptr) {
        *started = child.pid;
    }
    if (!watcher) {
        close(child.in);
        child.in = -1;
    }
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::milliseconds(timeoutMs);
    bool outOpen = true;
    bool errOpen = true;
    while (outOpen || errOpen) {
        if (std::chrono::steady_clock::now() >= deadline) {
            run.timedOut = true;
            kill(-child.pid, SIGKILL);
            kill(child.pid, SIGKILL);
            break;
        }
        pollfd fds[2] = {{child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
        if (poll(fds, 2, 50) < 0 && errno != EINTR) {
            break;
        }
        char buffer[4096];
        if (outOpen && (fds[0].revents & (POLLIN | POLLHUP)) != 0) {
            const ssize_t n = read(child.out, buffer, sizeof(buffer));
            if (n <= 0) {
                outOpen = false;
            } else {
                const std::string piece(buffer, static_cast<size_t>(n));
                run.out += piece;
                if (echo) {
                    echo(piece);
                }
                if (watcher && child.in >= 0) {
                    const std::string keys = watcher(run.out);
                    if (!keys.empty() && write(child.in, keys.data(), keys.size()) < 0) {
                        close(child.in);
                        child.in = -1;
                    }
                }
            }
        }
        if (errOpen && (fds[1].revents & (POLLIN | POLLHUP)) != 0) {
            const ssize_t n = read(child.err, buffer, sizeof(buffer));
            if (n <= 0) {
                errOpen = false;
            } else {
                run.err.append(buffer, static_cast<size_t>(n));
            }
        }
    }
    if (child.in >= 0) {
        close(child.in);
    }
    close(child.out);
    close(child.err);
    int status = 0;
    rusage usage = {};
    wait4(child.pid, &status, 0, &usage);
    run.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return run;
}
