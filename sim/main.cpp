// iolink-virtual-master: serves a simulated master on a pseudo-terminal for benches and manual
// runs. The first line of standard output is the pseudo-terminal's path.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/cli.h"
#include "sim/virtual_master.h"

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void OnSignal(int /*signal*/) {
    stopRequested = 1;
}

// Points `link` at `target` by renaming a fresh link over it, so that it is never missing
// while the master is plugged in.
void MoveLink(const std::string& link, const std::string& target) {
    const std::string tmp = link + ".tmp";
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) == 0) {
        if (::rename(tmp.c_str(), link.c_str()) != 0) {
            ::unlink(tmp.c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    VmOptions options;
    std::string error;
    if (!VmOptions_Parse(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "%s\n\n%s", error.c_str(), VmOptions_Help());
        return 2;
    }
    if (options.help) {
        std::fputs(VmOptions_Help(), stdout);
        return 0;
    }

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    VirtualMaster vm;
    VmOptions_Apply(options, vm);
    // The listener is in place before the first request can come; it reports plug changes
    // from the first line (the path) on.
    const std::string link = options.linkPath;
    std::atomic<bool> announced{false};
    vm.SetPlugListener([&link, &announced](bool plugged, const std::string& path) {
        if (plugged && !link.empty()) {
            MoveLink(link, path);
        }
        if (!plugged && !link.empty()) {
            ::unlink(link.c_str());
        }
        if (announced.load(std::memory_order_acquire)) {
            if (plugged) {
                std::printf("plugged %s\n", path.c_str());
            } else {
                std::printf("unplugged\n");
            }
            std::fflush(stdout);
        }
    });
    if (!vm.Start()) {
        std::fprintf(stderr, "no pseudo-terminal available\n");
        return 1;
    }
    // Announced before the path goes out: no plug change can come before a host has the path,
    // and the first one after it must not be missed.
    announced.store(true, std::memory_order_release);
    std::printf("%s\n", vm.SlavePath().c_str());
    std::fflush(stdout);

    bool watchStdin = options.useStdin;
    while (stopRequested == 0) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (!watchStdin) {
            ::poll(nullptr, 0, 100);
            continue;
        }
        if (::poll(&p, 1, 100) > 0) {
            char buf[256];
            const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
            if (n == 0 || (n < 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)) {
                break;
            }
        }
    }

    vm.SetPlugListener(nullptr);
    vm.Stop();
    if (!link.empty()) {
        ::unlink(link.c_str());
    }
    if (!options.dumpDir.empty() && !Vm_WriteDump(vm, options.dumpDir)) {
        std::fprintf(stderr, "could not write the dump into %s\n", options.dumpDir.c_str());
        return 1;
    }
    return 0;
}
