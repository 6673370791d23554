// The serving side of the virtual master: the pseudo-terminal, the serving thread that
// assembles the host's requests and dispatches them, the queue of timed actions (late and
// trickled bytes, verdict events, restart, comeback) and the fault table.
//
// Threads: the serving thread is the only one that opens and closes the pseudo-terminal while
// it runs; Unplug and Replug from other threads hand the change to it and wait (bounded) for it.
// Every other piece of shared state is guarded by one mutex; writes to the pseudo-terminal are
// made under it too, so frames never interleave. Test handlers and plug listeners run without
// the lock, so they may call back into the simulator.
#include "sim/virtual_master.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "sim/device.h"

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr size_t kMaxRequest = 500;        // longer requests are dropped after their length
constexpr int64_t kHeaderTimeoutMs = 100;  // a request header must complete within this
constexpr int kPollCapMs = 20;             // the serving thread looks at Stop this often at least
constexpr int kWriteBudgetMs = 1000;       // a write to a host that reads nothing gives up then
constexpr uint32_t kControlWaitMs = 3000;  // Unplug/Replug wait this long for the serving thread

// Bytes that the host's receiver drops without taking anything after them: a length above
// 500 (dropped after its second byte), then a frame with format byte 3 (dropped after its third).
constexpr std::array<uint8_t, 5> kGarbage = {0xFF, 0xFF, 0x05, 0x00, 0x03};

enum class TimedKind : uint8_t { Send, Replug, Restart };

struct Timed {
    Clock::time_point due;
    uint64_t seq = 0;
    TimedKind kind = TimedKind::Send;
    Bytes bytes;
    bool afterRestart = false;  // Replug: coming back from a restart
    bool comeback = true;       // Restart: come back afterwards
};

struct PlugNote {
    bool plugged = false;
    std::string path;
};

struct Control {
    uint64_t id = 0;
    bool replug = false;
};

// Assembles the host's request frames: 2-byte length (low first, counting itself), format
// byte, type, payload; lengths 0 to 5 take 5 bytes.
struct Assembler {
    Bytes frame;
    size_t want = 0;
    bool headerTimer = false;
    Clock::time_point first;
};

struct Pty {
    int master = -1;
    int slave = -1;
    int closeWatch = -1;  // inotify descriptor reporting every close of the slave's device node
    std::string path;
};

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

// Opens a pseudo-terminal with its slave side raw, 8 data bits, no echo, no translation, and
// keeps one slave descriptor open so that the host's opening and closing never hang up the
// master side.
bool OpenPty(Pty& pty) {
    pty = Pty{};
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.master < 0) {
        return false;
    }
    char name[128] = {};
    if (grantpt(pty.master) != 0 || unlockpt(pty.master) != 0 ||
        ptsname_r(pty.master, name, sizeof name) != 0) {
        CloseFd(pty.master);
        return false;
    }
    pty.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (pty.slave < 0 || tcgetattr(pty.slave, &t) != 0) {
        CloseFd(pty.slave);
        CloseFd(pty.master);
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    cfsetispeed(&t, B921600);
    cfsetospeed(&t, B921600);
    tcsetattr(pty.slave, TCSANOW, &t);
    const int flags = fcntl(pty.master, F_GETFL);
    fcntl(pty.master, F_SETFL, flags | O_NONBLOCK);
    // A host's exclusive open (TIOCEXCL) outlives its close on a pseudo-terminal, whose slave
    // stays alive while the master is open; a real USB serial port drops it at the last close.
    // The close watch lets the simulator drop it too, so that the host can open the port again
    // without privileges.
    pty.closeWatch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (pty.closeWatch >= 0 &&
        inotify_add_watch(pty.closeWatch, name, IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        CloseFd(pty.closeWatch);
    }
    pty.path = name;
    return true;
}

void ClosePty(Pty& pty) {
    CloseFd(pty.closeWatch);
    CloseFd(pty.slave);
    CloseFd(pty.master);
    pty.path.clear();
}

}  // namespace

struct VirtualMaster::State {
    explicit State(VirtualMaster* o) : owner(o) {}
    VirtualMaster* owner;

    mutable std::mutex mu;
    mutable std::condition_variable cv;

    std::thread thread;
    std::atomic<bool> running{false};
    std::thread::id servingId;
    int wakeRead = -1;
    int wakeWrite = -1;

    // Guarded by mu (the descriptors change only on the serving thread while it runs).
    Pty pty;
    bool plugged = false;
    uint32_t plugCount = 0;
    std::vector<Bytes> received;
    std::array<Handler, 256> handlers{};
    bool silent = false;
    VmDevice device;
    VmTiming timing;
    std::array<VmFault, 256> faults{};
    std::array<bool, 256> faultSet{};
    std::array<uint32_t, 256> counts{};  // requests per type since the fault was set
    std::vector<Timed> timed;
    uint64_t timedSeq = 0;
    std::vector<Control> controls;
    uint64_t controlSeq = 0;
    uint64_t controlDone = 0;
    bool lastReplugOk = false;
    // Plug changes made for a waiting caller, who tells the listener about them.
    std::vector<std::pair<uint64_t, std::vector<PlugNote>>> controlNotes;
    PlugListener listener;

    // Serving thread only (or any thread while not running).
    Assembler assembler;

    void Wake() const {
        if (wakeWrite >= 0) {
            const uint8_t b = 1;
            [[maybe_unused]] ssize_t n = ::write(wakeWrite, &b, 1);
        }
    }

    bool OnServingThread() const { return std::this_thread::get_id() == servingId; }

    void Schedule(Clock::time_point due, TimedKind kind, Bytes bytes = {},
                  bool afterRestart = false, bool comeback = true) {
        timed.push_back(Timed{due, ++timedSeq, kind, std::move(bytes), afterRestart, comeback});
        Wake();
    }

    // Writes all bytes to the host, giving up when the host reads nothing for a while.
    void WriteLocked(const Bytes& bytes) {
        size_t done = 0;
        const auto deadline = Clock::now() + Ms(kWriteBudgetMs);
        while (pty.master >= 0 && done < bytes.size()) {
            const ssize_t n = ::write(pty.master, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += size_t(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return;
            }
            if (Clock::now() >= deadline) {
                return;
            }
            pollfd p{pty.master, POLLOUT, 0};
            ::poll(&p, 1, 10);
        }
    }

    void UnplugLocked(std::vector<PlugNote>& notes) {
        if (!plugged) {
            return;
        }
        ClosePty(pty);
        plugged = false;
        assembler = Assembler{};
        // The device is gone: what it was about to send goes with it.
        timed.erase(std::remove_if(timed.begin(), timed.end(),
                                   [](const Timed& t) { return t.kind == TimedKind::Send; }),
                    timed.end());
        Device_PowerDown(device);
        notes.push_back(PlugNote{false, {}});
        cv.notify_all();
    }

    bool PlugLocked(std::vector<PlugNote>& notes, bool afterRestart) {
        UnplugLocked(notes);
        Pty fresh;
        if (!OpenPty(fresh)) {
            return false;
        }
        pty = fresh;
        plugged = true;
        ++plugCount;
        Device_PowerUp(device, afterRestart);
        notes.push_back(PlugNote{true, pty.path});
        cv.notify_all();
        return true;
    }

    void Notify(const std::vector<PlugNote>& notes) {
        if (notes.empty()) {
            return;
        }
        PlugListener l;
        {
            std::lock_guard<std::mutex> lock(mu);
            l = listener;
        }
        if (l) {
            for (const PlugNote& n : notes) {
                l(n.plugged, n.path);
            }
        }
    }

    // A replug by hand replaces a comeback that was still to come.
    void DropReplugsLocked() {
        timed.erase(std::remove_if(timed.begin(), timed.end(),
                                   [](const Timed& t) { return t.kind == TimedKind::Replug; }),
                    timed.end());
    }

    // Runs the timed actions that are due, in order of time and scheduling.
    void RunDueLocked(std::vector<PlugNote>& notes) {
        for (;;) {
            const auto now = Clock::now();
            auto next = timed.end();
            for (auto it = timed.begin(); it != timed.end(); ++it) {
                if (it->due <= now && (next == timed.end() || it->due < next->due ||
                                       (it->due == next->due && it->seq < next->seq))) {
                    next = it;
                }
            }
            if (next == timed.end()) {
                return;
            }
            Timed t = std::move(*next);
            timed.erase(next);
            switch (t.kind) {
                case TimedKind::Send:
                    WriteLocked(t.bytes);
                    break;
                case TimedKind::Replug:
                    PlugLocked(notes, t.afterRestart);
                    break;
                case TimedKind::Restart:
                    UnplugLocked(notes);
                    if (t.comeback) {
                        Schedule(Clock::now() + Ms(timing.restartDownMs), TimedKind::Replug, {},
                                 true);
                    }
                    break;
            }
        }
    }

    int PollTimeoutLocked() const {
        int ms = kPollCapMs;
        const auto now = Clock::now();
        for (const Timed& t : timed) {
            const auto left = std::chrono::duration_cast<Ms>(t.due - now).count();
            ms = std::min<int>(ms, int(std::max<int64_t>(left, 0)));
        }
        return ms;
    }

    const VmFault* FaultLocked(uint8_t type) const {
        if (!faultSet[type]) {
            return nullptr;
        }
        const VmFault& f = faults[type];
        const uint32_t n = counts[type];
        const uint32_t from = std::max<uint32_t>(f.from, 1);
        if (n < from || (f.count != 0 && n - from >= f.count)) {
            return nullptr;
        }
        return &f;
    }

    // Sends a built-in response, shaped by the fault, and schedules the verdict and restart.
    void AnswerLocked(const VmOutcome& out, const VmFault* f) {
        const VmFault none;
        const VmFault& fault = f != nullptr ? *f : none;
        const auto now = Clock::now();
        const auto at = now + Ms(fault.lateMs);
        Bytes response = out.response;
        if (fault.responseType >= 0) {
            response[3] = uint8_t(fault.responseType);
        }
        if (fault.padTo > response.size()) {
            response.resize(fault.padTo, 0);
            response[0] = uint8_t(fault.padTo & 0xFF);
            response[1] = uint8_t(fault.padTo >> 8);
        }
        for (uint8_t i = 0; i < fault.garbage; ++i) {
            Schedule(at, TimedKind::Send, Bytes(kGarbage.begin(), kGarbage.end()));
        }
        if (fault.eventPort >= 0) {
            const uint8_t data[5] = {};
            Schedule(at, TimedKind::Send,
                     Device_PortEvent(uint8_t(fault.eventPort), data, 0x0001, fault.eventLength));
        }
        if (fault.logValues >= 0) {
            // Log record: byte 5 the request's type, byte 6 the count, values 0, 1, 2, ...
            Bytes log = {0, 0, 0x02, 32, 0, response[3], uint8_t(fault.logValues)};
            for (int16_t i = 0; i < fault.logValues; ++i) {
                log.push_back(uint8_t(i));
            }
            log[0] = uint8_t(log.size() & 0xFF);
            log[1] = uint8_t(log.size() >> 8);
            Schedule(at, TimedKind::Send, log);
        }
        if (fault.stallHeader && response.size() > 2) {
            Schedule(at, TimedKind::Send, Bytes(response.begin(), response.begin() + 2));
            Schedule(at + Ms(timing.stallMs), TimedKind::Send,
                     Bytes(response.begin() + 2, response.end()));
        } else if (fault.trickleMs > 0 && response.size() > 4) {
            Schedule(at, TimedKind::Send, Bytes(response.begin(), response.begin() + 4));
            const size_t rest = response.size() - 4;
            for (size_t i = 0; i < rest; ++i) {
                const auto due = at + Ms(uint64_t(fault.trickleMs) * (i + 1) / rest);
                Schedule(due, TimedKind::Send, Bytes{response[4 + i]});
            }
        } else {
            Schedule(at, TimedKind::Send, response);
        }
        if (!out.verdict) {
            return;
        }
        auto when = at + Ms(timing.verdictDelayMs);
        for (uint8_t i = 0; i < fault.busyEvents; ++i) {
            const uint8_t busy[5] = {out.verdictOf, 0, 0, 0, 0};
            Schedule(when, TimedKind::Send, Device_PortEvent(0, busy, kVmEventBusy));
            when += Ms(timing.busyGapMs);
        }
        if (fault.verdict != VmVerdict::None) {
            const uint8_t data[5] = {out.verdictOf, out.verdictOk ? uint8_t(0) : kVmVerdictFailure,
                                     0, 0, 0};
            Schedule(when, TimedKind::Send, Device_PortEvent(0, data, kVmEventVerdict));
        }
        if (out.restart && out.verdictOk) {
            Schedule(when + Ms(timing.restartDelayMs), TimedKind::Restart, {}, true,
                     !fault.noComeback);
        }
    }

    // One whole request frame from the host.
    void Dispatch(const Bytes& frame, std::vector<PlugNote>& notes) {
        const uint8_t type = frame[3];
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(mu);
            received.push_back(frame);
            cv.notify_all();
            ++counts[type];
            if (silent) {
                return;
            }
            if (handlers[type]) {
                handler = handlers[type];
            } else {
                const VmBuiltin builtin = Device_Builtin(type);
                if (builtin == nullptr) {
                    return;
                }
                const VmFault* f = FaultLocked(type);
                if (f != nullptr && f->vanish) {
                    UnplugLocked(notes);
                    if (f->comebackMs >= 0) {
                        Schedule(Clock::now() + Ms(f->comebackMs), TimedKind::Replug);
                    }
                    return;
                }
                if (f != nullptr && f->silent) {
                    return;
                }
                VmOutcome out;
                if (f != nullptr && f->status != 0) {
                    out.response = Device_StatusResponse(type, frame, f->status);
                } else {
                    builtin(device, frame, f != nullptr && f->verdict == VmVerdict::Failure, out);
                }
                if (!out.response.empty()) {
                    AnswerLocked(out, f);
                    RunDueLocked(notes);
                }
                return;
            }
        }
        handler(*owner, frame);
    }

    void DropRequestLocked(const char* what) {
        device.violations.push_back(VmViolation{0, 0, 0, what});
    }

    // Feeds bytes read from the host into the assembler; whole frames are dispatched.
    void Feed(const uint8_t* bytes, size_t n, Clock::time_point now, std::vector<PlugNote>& notes) {
        for (size_t i = 0; i < n; ++i) {
            CheckHeaderTimeout(now);
            Assembler& a = assembler;
            if (a.frame.empty()) {
                a.first = now;
                a.headerTimer = true;
                a.want = 5;
            }
            a.frame.push_back(bytes[i]);
            const size_t have = a.frame.size();
            if (have == 2) {
                const size_t length = size_t(a.frame[0]) | size_t(a.frame[1]) << 8;
                if (length > kMaxRequest) {
                    a = Assembler{};
                    std::lock_guard<std::mutex> lock(mu);
                    DropRequestLocked("request length above 500 dropped");
                    continue;
                }
                a.want = std::max<size_t>(length, 5);
            } else if (have == 4) {
                a.headerTimer = false;
            }
            if (have >= 5 && have == a.want) {
                Bytes frame = std::move(a.frame);
                a = Assembler{};
                Dispatch(frame, notes);
            }
        }
    }

    void CheckHeaderTimeout(Clock::time_point now) {
        Assembler& a = assembler;
        if (a.headerTimer &&
            std::chrono::duration_cast<Ms>(now - a.first).count() > kHeaderTimeoutMs) {
            a = Assembler{};
            std::lock_guard<std::mutex> lock(mu);
            DropRequestLocked("request header not complete within 100 ms dropped");
        }
    }

    void Serve() {
        {
            std::lock_guard<std::mutex> lock(mu);
            servingId = std::this_thread::get_id();
        }
        uint8_t buf[512];
        while (running.load(std::memory_order_acquire)) {
            std::vector<PlugNote> notes;
            int fd = -1;
            int watch = -1;
            int timeoutMs = kPollCapMs;
            {
                std::lock_guard<std::mutex> lock(mu);
                fd = pty.master;
                watch = pty.closeWatch;
                timeoutMs = PollTimeoutLocked();
            }
            // The descriptors change only on this thread, so they stay valid through the poll.
            pollfd p[3] = {{wakeRead, POLLIN, 0}, {fd, POLLIN, 0}, {watch, POLLIN, 0}};
            const int ready = ::poll(p, 3, timeoutMs);
            if (ready > 0 && (p[0].revents & POLLIN) != 0) {
                while (::read(wakeRead, buf, sizeof buf) > 0) {
                }
            }
            if (ready > 0 && watch >= 0 && (p[2].revents & POLLIN) != 0) {
                // The host closed the port: its exclusive use ends with it.
                alignas(inotify_event) uint8_t events[1024];
                while (::read(watch, events, sizeof events) > 0) {
                }
                std::lock_guard<std::mutex> lock(mu);
                if (pty.slave >= 0) {
                    ::ioctl(pty.slave, TIOCNXCL);
                }
            }
            if (ready > 0 && fd >= 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                const ssize_t n = ::read(fd, buf, sizeof buf);
                if (n > 0) {
                    Feed(buf, size_t(n), Clock::now(), notes);
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    // Not expected while the simulator holds a slave descriptor; do not spin.
                    std::this_thread::sleep_for(Ms(5));
                }
            }
            CheckHeaderTimeout(Clock::now());
            {
                std::lock_guard<std::mutex> lock(mu);
                RunDueLocked(notes);
                for (const Control& c : controls) {
                    std::vector<PlugNote> mine;
                    if (c.replug) {
                        DropReplugsLocked();
                        lastReplugOk = PlugLocked(mine, false);
                    } else {
                        UnplugLocked(mine);
                    }
                    controlNotes.emplace_back(c.id, std::move(mine));
                    controlDone = c.id;
                }
                if (!controls.empty()) {
                    controls.clear();
                    cv.notify_all();
                }
            }
            Notify(notes);
        }
    }

    // Unplug or replug: on the serving thread, or directly when it is not running.
    bool PlugControl(bool replug) {
        std::vector<PlugNote> notes;
        bool ok = true;
        {
            std::unique_lock<std::mutex> lock(mu);
            if (!running.load(std::memory_order_acquire) || OnServingThread()) {
                if (replug) {
                    DropReplugsLocked();
                    ok = PlugLocked(notes, false);
                } else {
                    UnplugLocked(notes);
                }
            } else {
                const uint64_t id = ++controlSeq;
                controls.push_back(Control{id, replug});
                Wake();
                ok = cv.wait_for(lock, Ms(kControlWaitMs), [&] { return controlDone >= id; });
                ok = ok && (!replug || lastReplugOk);
                for (auto it = controlNotes.begin(); it != controlNotes.end(); ++it) {
                    if (it->first == id) {
                        notes = std::move(it->second);
                        controlNotes.erase(it);
                        break;
                    }
                }
            }
        }
        Notify(notes);
        return ok;
    }
};

VirtualMaster::VirtualMaster() : state_(std::make_unique<State>(this)) {}

VirtualMaster::~VirtualMaster() {
    Stop();
}

bool VirtualMaster::Start() {
    State& s = *state_;
    if (s.running.load(std::memory_order_acquire)) {
        return true;
    }
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        return false;
    }
    std::vector<PlugNote> notes;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        if (!s.PlugLocked(notes, false)) {
            ::close(fds[0]);
            ::close(fds[1]);
            return false;
        }
        s.wakeRead = fds[0];
        s.wakeWrite = fds[1];
    }
    s.running.store(true, std::memory_order_release);
    s.thread = std::thread([&s] { s.Serve(); });
    s.Notify(notes);
    return true;
}

void VirtualMaster::Stop() {
    State& s = *state_;
    if (s.running.exchange(false, std::memory_order_acq_rel)) {
        s.Wake();
        s.thread.join();
    }
    // Stop closes without calling the plug listener: the owner is shutting the device down.
    std::vector<PlugNote> notes;
    std::lock_guard<std::mutex> lock(s.mu);
    s.UnplugLocked(notes);
    s.timed.clear();
    s.controlDone = s.controlSeq;
    s.controls.clear();
    s.controlNotes.clear();
    s.servingId = std::thread::id();
    CloseFd(s.wakeRead);
    CloseFd(s.wakeWrite);
    s.cv.notify_all();
}

std::string VirtualMaster::SlavePath() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->pty.path;
}

std::string VirtualMaster::PortName() const {
    const std::string path = SlavePath();
    const std::string prefix = "/dev/";
    return path.rfind(prefix, 0) == 0 ? path.substr(prefix.size()) : path;
}

void VirtualMaster::SetIdentity(const VmIdentity& identity) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->device.identity = identity;
}

std::vector<Bytes> VirtualMaster::Received() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->received;
}

void VirtualMaster::ClearReceived() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->received.clear();
}

bool VirtualMaster::WaitReceived(size_t count, uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(state_->mu);
    return state_->cv.wait_for(lock, Ms(timeoutMs),
                               [&] { return state_->received.size() >= count; });
}

void VirtualMaster::SendRaw(const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->WriteLocked(bytes);
}

void VirtualMaster::SendRawSlowly(const Bytes& bytes, uint32_t gapMs) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) {
            std::this_thread::sleep_for(Ms(gapMs));
        }
        SendRaw(Bytes{bytes[i]});
    }
}

Bytes VirtualMaster::MakeFrame(uint8_t type, const Bytes& payload) {
    const size_t length = 4 + payload.size();
    Bytes f = {uint8_t(length & 0xFF), uint8_t(length >> 8), 0x02, type};
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

void VirtualMaster::SendPortEvent(uint8_t port, const uint8_t data[5], uint16_t code) {
    SendRaw(Device_PortEvent(port, data, code));
}

void VirtualMaster::SendLogRecord(uint8_t first, const Bytes& values) {
    Bytes payload = {0, first, uint8_t(values.size())};
    payload.insert(payload.end(), values.begin(), values.end());
    SendRaw(MakeFrame(32, payload));
}

void VirtualMaster::SetHandler(uint8_t type, Handler handler) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->handlers[type] = std::move(handler);
}

void VirtualMaster::ClearHandler(uint8_t type) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->handlers[type] = nullptr;
}

void VirtualMaster::SetSilent(bool silent) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->silent = silent;
}

void VirtualMaster::Unplug() {
    state_->PlugControl(false);
}

bool VirtualMaster::Replug() {
    return state_->PlugControl(true);
}

VmIdentity VirtualMaster::Identity() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->device.identity;
}

void VirtualMaster::SetIdentityAfterUpdate(const VmIdentity& identity) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->device.identityAfterUpdate = identity;
}

void VirtualMaster::SetBootMode(bool bootMode) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->device.main.bootMode = bootMode;
}

void VirtualMaster::SetTiming(const VmTiming& timing) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->timing = timing;
}

void VirtualMaster::SetFault(uint8_t type, const VmFault& fault) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->faults[type] = fault;
    state_->faultSet[type] = true;
    state_->counts[type] = 0;
}

void VirtualMaster::ClearFault(uint8_t type) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->faultSet[type] = false;
}

void VirtualMaster::ClearFaults() {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->faultSet.fill(false);
}

void VirtualMaster::SetPlugListener(PlugListener listener) {
    std::lock_guard<std::mutex> lock(state_->mu);
    state_->listener = std::move(listener);
}

bool VirtualMaster::IsPlugged() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->plugged;
}

uint32_t VirtualMaster::PlugCount() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->plugCount;
}

bool VirtualMaster::WaitPlugCount(uint32_t count, uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(state_->mu);
    return state_->cv.wait_for(lock, Ms(timeoutMs),
                               [&] { return state_->plugCount >= count && state_->plugged; });
}

bool VirtualMaster::WaitUnplugged(uint32_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(state_->mu);
    return state_->cv.wait_for(lock, Ms(timeoutMs), [&] { return !state_->plugged; });
}

std::vector<VmViolation> VirtualMaster::Violations() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->device.violations;
}

VmDownload VirtualMaster::Download() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->device.main;
}

VmStackDownload VirtualMaster::StackDownload() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->device.stack;
}

Bytes VirtualMaster::Flash3() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->device.flash3;
}

Bytes VirtualMaster::Flash2() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->device.flash2;
}

Bytes VirtualMaster::StackFlash() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->device.stackFlash;
}

Bytes VirtualMaster::StackIdRecord() const {
    std::lock_guard<std::mutex> lock(state_->mu);
    return state_->device.stackId;
}
