// iolink-demo: shows a whole update as an operator would see it, by the shipped iolink-update
// against a virtual master in a private namespace, and says at the end whether the master's
// flash now holds the image. With --benchmark it times a V3 update and a stack + V2 update and
// prints the floor that the updater's fixed waits impose.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "images/images.h"
#include "tests/e2e/bench.h"

namespace {

constexpr uint32_t kTimeoutMs = 300000;
const char* const kPrompt =
    "Please disconnect the USB master and connect it back to the PC. Press any key if you are "
    "ready";

struct Scenario {
    const char* name;
    const char* main;
    const char* stack;
    const char* afterMain;
    const char* afterStack;
    const char* what;
};

const Scenario kScenarios[] = {
    {"v3", "309", "130", "30A", "130", "main firmware 3.0.9: the 3.x main image is written"},
    {"v2", "215", "120", "217", "130",
     "main firmware 2.1.5, IO-Link stack 1.2.0: the stack, then the 2.x main image"},
    {"replug", "205", "130", "217", "130",
     "main firmware 2.0.5: the 2.x main image, step by step with replug prompts"},
};

VmIdentity Identity(const char* main, const char* stack) {
    VmIdentity id;
    std::memcpy(id.main, main, 3);
    std::memcpy(id.stack, stack, 3);
    return id;
}

bool StampValid(const Bytes& flash, size_t offset, std::string* digits) {
    uint8_t sum = 0;
    for (size_t i = 0; i < 10; ++i) {
        const uint8_t c = flash[offset + i];
        if (c < '0' || c > '9') {
            return false;
        }
        sum = static_cast<uint8_t>(sum + c);
    }
    digits->assign(flash.begin() + static_cast<long>(offset),
                   flash.begin() + static_cast<long>(offset) + 10);
    return flash[offset + 10] == sum;
}

// Compares a flash model with an image whose stamp field is replaced by a valid stamp.
bool Compare(const char* what, Bytes flash, const Bytes& image, long stampOffset) {
    std::string digits;
    if (stampOffset >= 0) {
        if (!StampValid(flash, static_cast<size_t>(stampOffset), &digits)) {
            std::printf("  %s: the programming stamp is not valid\n", what);
            return false;
        }
        std::copy_n(image.begin() + stampOffset, 11, flash.begin() + stampOffset);
    }
    const auto mismatch = std::mismatch(image.begin(), image.end(), flash.begin());
    if (mismatch.first != image.end()) {
        std::printf("  %s: DIFFERS from the image at offset 0x%lX\n", what,
                    static_cast<long>(mismatch.first - image.begin()));
        return false;
    }
    std::printf("  %s: equals the image (%zu bytes)%s%s\n", what, image.size(),
                digits.empty() ? "" : ", programming stamp ", digits.c_str());
    return true;
}

bool CheckFlash(const Scenario& s, const VirtualMaster& vm) {
    std::printf("\nThe virtual master's flash after the update:\n");
    bool ok = true;
    if (std::strcmp(s.name, "v3") == 0) {
        Bytes image(kMain3WindowSize);
        ExpandRecords(main3Records, kMain3WindowBase, image);
        ok = Compare("main firmware (3.x window)", vm.Flash3(), image, kMain3StampOffset);
    } else {
        const FirmwareDescriptor& d = firmwareDescriptors[0];
        Bytes image(d.image, d.image + d.length);
        const Bytes flash = vm.Flash2();
        ok = Compare("main firmware (2.x)", Bytes(flash.begin(), flash.begin() + d.length), image,
                     kMain2StampOffset);
        if (std::strcmp(s.name, "v2") == 0) {
            Bytes stack(kStackWindowSize);
            const ExpandResult r = ExpandRecords(stackRecords, 0, stack);
            const Bytes stackFlash = vm.StackFlash();
            ok = Compare("IO-Link stack",
                         Bytes(stackFlash.begin(), stackFlash.begin() + stack.size()), stack, -1) &&
                 ok;
            const bool id = vm.StackIdRecord() == Bytes(r.idRecord.bytes, r.idRecord.bytes + 8);
            std::printf("  IO-Link stack identification record: %s\n",
                        id ? "written last, as in the image" : "MISSING or different");
            ok = ok && id;
        }
    }
    std::printf("%s\n", ok ? "Flash equals the image." : "Flash does NOT equal the image.");
    return ok;
}

BenchRun RunScenario(const Scenario& s, bool echo, VirtualMaster** vmOut, Bench& bench) {
    VirtualMaster& vm = bench.AddMaster(Identity(s.main, s.stack));
    vm.SetIdentityAfterUpdate(Identity(s.afterMain, s.afterStack));
    *vmOut = &vm;
    size_t prompts = 0;
    // The operator: at each replug prompt, unplug the master, plug it back in, press a key.
    auto watcher = [&](const std::string& out) -> std::string {
        size_t seen = 0;
        for (size_t at = out.find(kPrompt); at != std::string::npos;
             at = out.find(kPrompt, at + 1)) {
            ++seen;
        }
        if (seen == prompts) {
            return "";
        }
        prompts = seen;
        if (echo) {
            std::printf("  [demo: unplugging the master, plugging it back in, pressing a key]");
            std::fflush(stdout);
        }
        bench.ReplugMaster(0);
        return "k";
    };
    auto show = [](const std::string& piece) {
        std::fwrite(piece.data(), 1, piece.size(), stdout);
        std::fflush(stdout);
    };
    return bench.Run({}, kTimeoutMs, watcher, echo ? Bench::Echo(show) : Bench::Echo());
}

int Demo(const Scenario& s) {
    const std::string reason = Bench::Unavailable();
    if (!reason.empty()) {
        std::printf("The demo needs a private mount namespace: %s\n", reason.c_str());
        return 1;
    }
    Bench bench;
    std::printf("A virtual master is attached as ttyACM0: edition SE, %s.\n", s.what);
    std::printf("$ iolink-update\n");
    VirtualMaster* vm = nullptr;
    const BenchRun run = RunScenario(s, true, &vm, bench);
    // What it said on standard error, shown after its standard output.
    std::printf("%s", run.err.c_str());
    std::printf("[iolink-update ended with exit status %d%s]\n", run.status,
                run.timedOut ? ", killed after the time limit" : "");
    return CheckFlash(s, *vm) ? 0 : 1;
}

// The floor that the fixed waits impose: every request waits at least one 10 ms poll for its
// response, every verdict at least one 500 ms poll (the first fetch, right after the response,
// finds the ring empty), plus the fixed pauses.
struct Floor {
    unsigned requests;
    unsigned verdicts;
    double pauses;
    const char* how;
};

const Floor kV3Floor = {1 + 2 + 2 + 1792 + 14 + 1 + 2, 1 + 14 + 1, 0.1 + 5.0 + 0.5,
                        "requests: 1 scan identification + 2 port resets + InitDownload + Erase + "
                        "1,792 writes + 14 block commits + Finish + 2 identifications after the "
                        "restart = 1,814 x 10 ms;\n    verdicts: erase + 14 blocks + swap = 16 x "
                        "500 ms;\n    pauses: 100 ms after the port reset, 10 x 500 ms before the "
                        "first scan, 500 ms after it"};
const Floor kV2Floor = {1 + 410 + 382 + 2, 5, 5.0 + 0.5,
                        "requests: 1 scan identification + stack (Init + 407 chunks + "
                        "identification record + Finish = 410) + main (InitDownload + Erase + "
                        "376 writes + 3 block commits + Finish = 382) + 2 identifications after "
                        "the restart = 795 x 10 ms;\n    verdicts: erase + 3 blocks + swap = 5 x "
                        "500 ms;\n    pauses: 10 x 500 ms before the first scan, 500 ms after it"};

// The longest wait a stop request meets: SIGINT at the first progress dot of a 3.x update, right
// after the erase, defers the stop through all 14 blocks and the swap.
bool Deferral() {
    Bench bench;
    VirtualMaster& vm = bench.AddMaster(Identity("309", "130"));
    vm.SetIdentityAfterUpdate(Identity("30A", "130"));
    using Clock = std::chrono::steady_clock;
    Clock::time_point signalled{};
    // The header holds 6 dots; the 7th is the first progress dot of block 1.
    auto watcher = [&](const std::string& out) -> std::string {
        if (signalled == Clock::time_point{} && std::count(out.begin(), out.end(), '.') >= 7) {
            signalled = Clock::now();
            bench.Signal(SIGINT);
        }
        return "";
    };
    const BenchRun run = bench.Run({}, kTimeoutMs, watcher);
    const double deferral = std::chrono::duration<double>(Clock::now() - signalled).count();
    const bool ok = run.signal == SIGINT && !run.timedOut && signalled != Clock::time_point{} &&
                    vm.Download().finished;
    std::printf("stop request right after the erase of a 3.x update%s\n",
                ok ? "" : "  -- FAILED, figures not meaningful");
    std::printf("  from SIGINT to the end of the process %7.2f s (the flash phase finished: %s)\n",
                deferral, vm.Download().finished ? "swapped" : "NOT swapped");
    const size_t line = run.err.find("iolink-update: stop requested");
    if (line != std::string::npos) {
        std::printf("  %s\n", run.err.substr(line, run.err.find('\n', line) - line).c_str());
    }
    return ok;
}

// N whole 3.x updates side by side, one process per master each with its own --port, against one
// update alone: each process touches only its own port, so the N take about the time of one.
bool SideBySide(unsigned count) {
    const double floorSeconds =
        kV3Floor.requests * 0.010 + kV3Floor.verdicts * 0.5 + kV3Floor.pauses;
    // Each process's own wall time, in milliseconds, from the shell that starts it.
    const char* const script =
        "u=\"$0\"; d=\"$1\"; n=0; while [ $n -lt \"$2\" ]; do (s=$(date +%s%N); \"$u\" --port "
        "ttyACM$n --exit-code >/dev/null 2>&1; r=$?; e=$(date +%s%N); echo \"$r "
        "$(((e-s)/1000000))\" "
        ">\"$d/run$n\") & n=$((n+1)); done; wait";
    char pattern[] = "/tmp/iolink-side-by-side-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    bool ok = true;
    double alone = 0;
    double slowest = 0;
    for (const unsigned masters : {1u, count}) {
        Bench bench;
        for (unsigned i = 0; i < masters; ++i) {
            bench.AddMaster(Identity("309", "130")).SetIdentityAfterUpdate(Identity("30A", "130"));
        }
        const BenchRun run = bench.RunInNamespace(
            {"sh", "-c", script, Bench::UpdaterPath(), dir, std::to_string(masters)}, "",
            kTimeoutMs);
        ok = ok && !run.timedOut;
        for (unsigned i = 0; i < masters; ++i) {
            int status = -1;
            long ms = 0;
            std::FILE* file = std::fopen((dir + "/run" + std::to_string(i)).c_str(), "r");
            if (file == nullptr || std::fscanf(file, "%d %ld", &status, &ms) != 2) {
                ok = false;
            }
            if (file != nullptr) {
                std::fclose(file);
            }
            ok = ok && status == 0;
            const double seconds = static_cast<double>(ms) / 1000.0;
            if (masters == 1) {
                alone = seconds;
            } else {
                slowest = std::max(slowest, seconds);
                std::printf(
                    "  update %u of %u (--port ttyACM%u)    %7.2f s, %.2f times the floor\n", i + 1,
                    masters, i, seconds, seconds / floorSeconds);
            }
        }
        if (masters == 1) {
            std::printf("3.x updates side by side, one process per master with its own --port%s\n",
                        ok ? "" : "  -- FAILED, figures not meaningful");
            std::printf(
                "  one update alone                 %7.2f s, %.2f times the floor of %.2f s\n",
                alone, alone / floorSeconds, floorSeconds);
        } else {
            std::printf(
                "  %u updates side by side, all done in %7.2f s (the slowest %.2f times one "
                "alone)\n\n",
                masters, run.wallSeconds, slowest / alone);
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return ok;
}

int Benchmark() {
    const std::string reason = Bench::Unavailable();
    if (!reason.empty()) {
        std::printf("The benchmark needs a private mount namespace: %s\n", reason.c_str());
        return 1;
    }
    int failures = 0;
    for (const auto& [scenario, floor] :
         {std::pair{&kScenarios[0], &kV3Floor}, std::pair{&kScenarios[1], &kV2Floor}}) {
        Bench bench;
        VirtualMaster* vm = nullptr;
        const BenchRun run = RunScenario(*scenario, false, &vm, bench);
        const double floorSeconds = floor->requests * 0.010 + floor->verdicts * 0.5 + floor->pauses;
        const bool ok = run.status == 0 && !run.timedOut &&
                        run.out.find("New Master Version:") != std::string::npos;
        std::printf("%s update (%s)%s\n", scenario->name, scenario->what,
                    ok ? "" : "  -- FAILED, figures not meaningful");
        std::printf("  wall time         %7.2f s\n", run.wallSeconds);
        std::printf("  updater CPU time  %7.2f s (%.1f %% of the wall time)\n", run.cpuSeconds,
                    100.0 * run.cpuSeconds / run.wallSeconds);
        std::printf("  floor             %7.2f s; wall time is %.1f %% above it\n", floorSeconds,
                    100.0 * (run.wallSeconds - floorSeconds) / floorSeconds);
        std::printf(
            "  floor computed as %u requests x 10 ms + %u verdicts x 500 ms + %.1f s:\n"
            "    %s\n\n",
            floor->requests, floor->verdicts, floor->pauses, floor->how);
        failures += ok ? 0 : 1;
    }
    failures += SideBySide(4) ? 0 : 1;
    failures += Deferral() ? 0 : 1;
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "v3";
    if (what == "--benchmark") {
        return Benchmark();
    }
    for (const Scenario& s : kScenarios) {
        if (what == s.name) {
            return Demo(s);
        }
    }
    std::printf("usage: iolink-demo [v3|v2|replug|--benchmark]\n");
    return 2;
}
