// Console output: a fixed queue drained by a writer thread. The caller only copies its message
// into the queue, so a console that takes nothing (a pipe nobody reads, a terminal stopped with
// Ctrl+S, a slow link) can never hold up reading, decoding or logging. The descriptors stay as
// the shell gave them: nothing shared with other programs is changed. What the system must do
// (write bytes, tell a terminal, start the thread) is in console_output_os.h.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "platform/console.h"
#include "platform/console_output_os.h"

namespace vg::platform {

namespace {

constexpr std::size_t kQueueBytes = 64 * 1024;
constexpr std::size_t kHeaderBytes = 5;  // the tag and a 4-byte length
constexpr std::size_t kStatusBytes = 512;
constexpr char kEraseLine[] = "\r\x1b[K";
// The status line is drawn with automatic wrap off: a line that lands after the terminal was
// made narrower is cut at its edge instead of spilling onto a row that nothing erases.
constexpr char kWrapOff[] = "\x1b[?7l";
constexpr char kWrapOn[] = "\x1b[?7h";
constexpr char kSpaces[] = "                                                                ";

// A queued entry is a message for one stream, or the count of messages dropped before it.
enum Tag : unsigned char { kTagOut, kTagErr, kTagDropped };

struct Output {
    std::mutex lock;
    std::condition_variable work;  // the writer waits here for something to do
    std::condition_variable idle;  // consoleFlush waits here for the queue to empty
    unsigned char queue[kQueueBytes];
    std::size_t head = 0;  // the oldest entry
    std::size_t used = 0;  // bytes queued, from head on (wrapping)
    bool writing = false;  // the writer holds the entry at head
    bool writerRunning = false;
    std::uint64_t unreported = 0;  // dropped since the last report was queued
    std::atomic<std::uint64_t> dropped{0};
    // How standard error draws the status line; None (no terminal): no status line.
    output_os::StatusTerminal statusTerminal = output_os::StatusTerminal::None;
    char status[kStatusBytes];
    std::size_t statusLength = 0;
    bool statusChanged = false;  // the status line waits to be drawn (new, or after a message)
    bool statusShown = false;    // what is on the terminal's last line is ours
    std::size_t shownWidth = 0;  // columns of the status line drawn last (the writer's own)
    ConsoleObserver observer = nullptr;
    void* observerContext = nullptr;
};

// Never destroyed: the writer may still be blocked in a write when the process exits.
Output* output = nullptr;

void copyIn(Output& o, std::size_t at, const void* data, std::size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    const std::size_t first = n < kQueueBytes - at ? n : kQueueBytes - at;
    std::memcpy(o.queue + at, p, first);
    std::memcpy(o.queue, p + first, n - first);
}

void copyOut(const Output& o, std::size_t at, void* data, std::size_t n) {
    auto* p = static_cast<unsigned char*>(data);
    const std::size_t first = n < kQueueBytes - at ? n : kQueueBytes - at;
    std::memcpy(p, o.queue + at, first);
    std::memcpy(p + first, o.queue, n - first);
}

// Queues one entry if it fits whole; the lock is held.
bool push(Output& o, Tag tag, const void* data, std::size_t length) {
    if (length > kQueueBytes - kHeaderBytes || kHeaderBytes + length > kQueueBytes - o.used) {
        return false;
    }
    const std::size_t tail = (o.head + o.used) % kQueueBytes;
    unsigned char header[kHeaderBytes] = {tag};
    const auto len32 = static_cast<std::uint32_t>(length);
    std::memcpy(header + 1, &len32, sizeof len32);
    copyIn(o, tail, header, kHeaderBytes);
    copyIn(o, (tail + kHeaderBytes) % kQueueBytes, data, length);
    o.used += kHeaderBytes + length;
    return true;
}

bool writeAll(ConsoleStream stream, const void* data, std::size_t length) {
    return output_os::writeAll(stream, data, length);
}

bool writeSpaces(std::size_t count) {
    bool written = true;
    while (count > 0 && written) {
        const std::size_t n = count < sizeof kSpaces - 1 ? count : sizeof kSpaces - 1;
        written = writeAll(ConsoleStream::Err, kSpaces, n);
        count -= n;
    }
    return written;
}

// The most a status line may take: one column less than the terminal has, so the cursor never
// reaches the last column, where a terminal would wrap it onto a new row.
std::size_t statusRoom() {
    const unsigned columns = output_os::terminalColumns();
    return columns == 0 ? kStatusBytes - 1 : columns - 1;
}

// Takes the status line off the terminal, leaving the cursor at the start of its line.
void eraseStatus(Output& o) {
    if (o.statusTerminal == output_os::StatusTerminal::Escapes) {
        writeAll(ConsoleStream::Err, kEraseLine, sizeof kEraseLine - 1);
    } else {
        // A terminal made narrower since has cut the line at its edge.
        const std::size_t room = statusRoom();
        writeAll(ConsoleStream::Err, "\r", 1);
        writeSpaces(o.shownWidth < room ? o.shownWidth : room);
        writeAll(ConsoleStream::Err, "\r", 1);
    }
    o.shownWidth = 0;
}

// Draws line over the status line shown (if any); an empty line takes it away.
void drawStatus(Output& o, bool shown, const char* line, std::size_t length) {
    if (length == 0) {
        if (shown) {
            eraseStatus(o);
        }
        return;
    }
    const std::size_t room = statusRoom();
    length = length < room ? length : room;
    if (o.statusTerminal == output_os::StatusTerminal::Escapes) {
        // One write, so the wrap mode is never left off between two.
        char text[sizeof kWrapOff + sizeof kEraseLine + kStatusBytes + sizeof kWrapOn];
        std::size_t n = 0;
        auto append = [&](const char* part, std::size_t size) {
            std::memcpy(text + n, part, size);
            n += size;
        };
        append(kWrapOff, sizeof kWrapOff - 1);
        append(kEraseLine, sizeof kEraseLine - 1);
        append(line, length);
        append(kWrapOn, sizeof kWrapOn - 1);
        writeAll(ConsoleStream::Err, text, n);
    } else {
        // Without an erase sequence the new text covers the old, and spaces what is left of it.
        std::size_t before = shown ? o.shownWidth : 0;
        before = before < room ? before : room;
        writeAll(ConsoleStream::Err, "\r", 1);
        writeAll(ConsoleStream::Err, line, length);
        writeSpaces(before > length ? before - length : 0);
    }
    o.shownWidth = length;
}

void writerLoop(Output& o) {
    std::unique_lock<std::mutex> held(o.lock);
    for (;;) {
        o.work.wait(held, [&] { return o.used > 0 || o.statusChanged; });
        if (o.used > 0) {
            unsigned char header[kHeaderBytes];
            copyOut(o, o.head, header, kHeaderBytes);
            std::uint32_t length = 0;
            std::memcpy(&length, header + 1, sizeof length);
            const std::size_t at = (o.head + kHeaderBytes) % kQueueBytes;
            const bool erase = o.statusShown;
            o.statusShown = false;
            o.writing = true;
            held.unlock();

            // Producers only fill the free part of the queue, so this entry stays as it is
            // while it is written from where it lies. A status line shown before the job went
            // to the background is left alone: the line it was on is the shell's now.
            if (erase && output_os::inFront()) {
                eraseStatus(o);
            }
            bool written = true;
            if (header[0] == kTagDropped) {
                std::uint64_t count = 0;
                copyOut(o, at, &count, sizeof count);
                char line[128];
                const int n = std::snprintf(
                    line, sizeof line,
                    "vglog: %llu console message(s) dropped: the console was not taking output\r\n",
                    static_cast<unsigned long long>(count));
                written = writeAll(ConsoleStream::Err, line, static_cast<std::size_t>(n));
            } else {
                const ConsoleStream stream =
                    header[0] == kTagOut ? ConsoleStream::Out : ConsoleStream::Err;
                const std::size_t first = length < kQueueBytes - at ? length : kQueueBytes - at;
                written = writeAll(stream, o.queue + at, first) &&
                          writeAll(stream, o.queue, length - first);
            }
            if (!written) {
                ++o.dropped;
            }

            held.lock();
            o.writing = false;
            o.head = (o.head + kHeaderBytes + length) % kQueueBytes;
            o.used -= kHeaderBytes + length;
            // Room again: the report of what was lost takes its place in the queue now,
            // rather than waiting for the next message.
            if (o.unreported > 0 && push(o, kTagDropped, &o.unreported, sizeof o.unreported)) {
                o.unreported = 0;
            }
            if (erase && o.statusLength > 0) {
                o.statusChanged = true;  // back below the message
            }
        } else {
            char line[kStatusBytes];
            const std::size_t length = o.statusLength;
            std::memcpy(line, o.status, length);
            const bool erase = o.statusShown;
            o.statusChanged = false;
            o.writing = true;
            held.unlock();
            // In the background nothing is drawn; the next line after fg is drawn afresh.
            const bool front = output_os::inFront();
            if (front) {
                drawStatus(o, erase, line, length);
            }
            held.lock();
            o.statusShown = front && length > 0;
            o.writing = false;
        }
        if (o.used == 0 && !o.statusChanged) {
            o.idle.notify_all();
        }
    }
}

void writerBody(void* context) {
    writerLoop(*static_cast<Output*>(context));
}

void startWriter(Output& o) {
    // When no thread can be made everything stays queued, counted as dropped at flush.
    o.writerRunning = output_os::startWriter(writerBody, &o);
}

// A forked child has no writer: it starts its own, with a fresh lock, on its first message.
void beforeFork() {
    output->lock.lock();
}
void afterForkParent() {
    output->lock.unlock();
}
void afterForkChild() {
    Output& o = *output;
    new (&o.lock) std::mutex;
    new (&o.work) std::condition_variable;
    new (&o.idle) std::condition_variable;
    if (o.writing && o.used > 0) {
        // The parent's writer is writing this one; the child must not write it again.
        unsigned char header[kHeaderBytes];
        copyOut(o, o.head, header, kHeaderBytes);
        std::uint32_t length = 0;
        std::memcpy(&length, header + 1, sizeof length);
        o.head = (o.head + kHeaderBytes + length) % kQueueBytes;
        o.used -= kHeaderBytes + length;
    }
    o.writing = false;
    o.writerRunning = false;
}

Output& ready() {
    static Output* const created = [] {
        output = new Output;
        output->statusTerminal = output_os::statusTerminal();
        output_os::prepareProcess(beforeFork, afterForkParent, afterForkChild);
        return output;
    }();
    return *created;
}

}  // namespace

void consoleWrite(ConsoleStream stream, const char* text, std::size_t length) {
    Output& o = ready();
    ConsoleObserver observer = nullptr;
    void* observerContext = nullptr;
    {
        std::lock_guard<std::mutex> held(o.lock);
        observer = o.observer;
        observerContext = o.observerContext;
        if (!o.writerRunning) {
            startWriter(o);
        }
        // The report of earlier losses goes first, where they happened.
        if (o.unreported > 0 && push(o, kTagDropped, &o.unreported, sizeof o.unreported)) {
            o.unreported = 0;
        }
        if (o.unreported > 0 ||
            !push(o, stream == ConsoleStream::Out ? kTagOut : kTagErr, text, length)) {
            ++o.unreported;
            ++o.dropped;
        } else {
            o.work.notify_one();
        }
    }
    if (observer != nullptr) {  // also told of a message the console could not take
        observer(observerContext, stream, text, length);
    }
}

void consoleObserve(ConsoleObserver observer, void* context) {
    Output& o = ready();
    std::lock_guard<std::mutex> held(o.lock);
    o.observer = observer;
    o.observerContext = context;
}

void consoleWrite(ConsoleStream stream, const char* text) {
    consoleWrite(stream, text, std::strlen(text));
}

void consolePrint(ConsoleStream stream, const char* format, ...) {
    char buf[1024];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n > 0) {
        consoleWrite(stream, buf,
                     static_cast<std::size_t>(n) < sizeof buf ? static_cast<std::size_t>(n)
                                                              : sizeof buf - 1);
    }
}

void consoleStatus(const char* line) {
    Output& o = ready();
    if (o.statusTerminal == output_os::StatusTerminal::None) {
        return;  // never into a file or a pipe
    }
    {
        std::lock_guard<std::mutex> held(o.lock);
        if (!o.writerRunning) {
            startWriter(o);
        }
        std::size_t length = 0;
        if (line != nullptr) {
            length = std::strlen(line);
            length = length < kStatusBytes ? length : kStatusBytes - 1;
            std::memcpy(o.status, line, length);
        }
        if (length == 0 && o.statusLength == 0 && !o.statusShown) {
            return;
        }
        o.statusLength = length;
        o.statusChanged = true;
    }
    o.work.notify_one();
}

void consoleFlush(int timeoutMs) {
    if (output == nullptr) {
        return;  // nothing was ever written
    }
    Output& o = *output;
    std::unique_lock<std::mutex> held(o.lock);
    if (o.unreported > 0 && push(o, kTagDropped, &o.unreported, sizeof o.unreported)) {
        o.unreported = 0;
    }
    if (o.statusLength > 0 || o.statusShown) {
        o.statusLength = 0;
        o.statusChanged = true;
    }
    if (!o.writerRunning) {
        startWriter(o);
    }
    o.work.notify_one();
    o.idle.wait_for(held, std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0),
                    [&] { return o.used == 0 && !o.writing && !o.statusChanged; });
}

unsigned consoleColumns() {
    ready();  // the resize handler is set up with the rest
    return output_os::terminalColumns();
}

std::uint64_t consoleDroppedMessages() {
    return output == nullptr ? 0 : output->dropped.load();
}

}  // namespace vg::platform
