#include <windows.h>

#include <conio.h>

#include <atomic>
#include <cstdint>

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/serial_wait_win32.h"

namespace vg::platform {

namespace {

volatile LONG stopRequested = 0;
HANDLE stopEvent = nullptr;  // set by the control handler, wakes a wait at once
HANDLE doneEvent = nullptr;  // set once the logs are closed, so a closing console can go
HANDLE input = INVALID_HANDLE_VALUE;
// Where keys come from: a console window, a stream (pipe or file) read by its own thread, or
// nowhere (no input, the null device).
enum class Input { None, Console, Stream };
Input inputKind = Input::None;

// A console is looked at this often while a wait has no handle that wakes for keys alone.
constexpr DWORD kKeyPollMs = 50;

// Keys from a pipe or a file. A peek cannot tell whether a byte waits on every kind of pipe,
// and a read would block the loop, so a thread of its own does the blocking reads and hands
// each byte over here: a key is waiting only once a real byte has come.
struct KeyQueue {
    static constexpr std::uint32_t kSize = 64;
    unsigned char keys[kSize] = {};
    std::atomic<std::uint32_t> head{0};  // next to read; only the loop moves it
    std::atomic<std::uint32_t> tail{0};  // next to fill; only the reader moves it
    std::atomic<bool> ended{false};      // the reader met the end of input or an error
    HANDLE arrived = nullptr;            // set after each key and at the end
};
KeyQueue keyQueue;

bool queueEmpty() {
    return keyQueue.head.load(std::memory_order_acquire) ==
           keyQueue.tail.load(std::memory_order_acquire);
}

DWORD WINAPI readKeys(void*) {
    for (;;) {
        unsigned char key = 0;
        DWORD got = 0;
        if (!ReadFile(input, &key, 1, &got, nullptr) || got == 0) {
            keyQueue.ended.store(true, std::memory_order_release);
            SetEvent(keyQueue.arrived);
            return 0;
        }
        const std::uint32_t tail = keyQueue.tail.load(std::memory_order_relaxed);
        while (tail - keyQueue.head.load(std::memory_order_acquire) >= KeyQueue::kSize) {
            Sleep(kKeyPollMs);  // nobody takes keys this fast; wait for room
        }
        keyQueue.keys[tail % KeyQueue::kSize] = key;
        keyQueue.tail.store(tail + 1, std::memory_order_release);
        SetEvent(keyQueue.arrived);
    }
}

BOOL WINAPI onControl(DWORD event) {
    InterlockedExchange(&stopRequested, 1);
    if (stopEvent != nullptr) {
        SetEvent(stopEvent);
    }
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // Returning ends the process: give the loop time to close the logs first.
        if (doneEvent != nullptr) {
            WaitForSingleObject(doneEvent, 4000);
        }
        // The summary too, where standard error goes somewhere that outlives the window.
        consoleFlush(500);
    }
    return TRUE;
}

}  // namespace

void consoleOpen() {
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    doneEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onControl, TRUE);
    input = GetStdHandle(STD_INPUT_HANDLE);
    const DWORD type = (input == nullptr || input == INVALID_HANDLE_VALUE) ? FILE_TYPE_UNKNOWN
                                                                           : GetFileType(input);
    DWORD mode = 0;
    inputKind = Input::None;
    if (type == FILE_TYPE_CHAR) {
        // A character device that is no console (the null device) never gives a key.
        inputKind = GetConsoleMode(input, &mode) != 0 ? Input::Console : Input::None;
    } else if (type == FILE_TYPE_PIPE || type == FILE_TYPE_DISK) {
        // Auto-reset: the wait that wakes for a key takes the signal with it.
        keyQueue.arrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        HANDLE reader = keyQueue.arrived != nullptr
                            ? CreateThread(nullptr, 64 * 1024, readKeys, nullptr, 0, nullptr)
                            : nullptr;
        if (reader != nullptr) {
            CloseHandle(reader);  // it ends with the input or with the process
            inputKind = Input::Stream;
        }
    }
}

void consoleRestore() {
    if (doneEvent != nullptr) {
        SetEvent(doneEvent);
    }
}

bool keyWaiting() {
    if (stopRequested != 0) {
        return true;
    }
    switch (inputKind) {
        case Input::Console:
            return _kbhit() != 0;
        case Input::Stream:
            return !queueEmpty();
        case Input::None:
            break;
    }
    return false;
}

bool inputEnded() {
    switch (inputKind) {
        case Input::Console:
            return false;
        case Input::Stream:
            return keyQueue.ended.load(std::memory_order_acquire) && queueEmpty();
        case Input::None:
            break;
    }
    return true;
}

int readKey() {
    if (stopRequested != 0) {
        return kExitKey;
    }
    switch (inputKind) {
        case Input::Console:
            return _getch();
        case Input::Stream: {
            if (queueEmpty()) {
                return -1;
            }
            const std::uint32_t head = keyQueue.head.load(std::memory_order_relaxed);
            const int key = keyQueue.keys[head % KeyQueue::kSize];
            keyQueue.head.store(head + 1, std::memory_order_release);
            return key;
        }
        case Input::None:
            break;
    }
    return -1;
}

void sleepMs(unsigned ms) {
    // The loop's short sleeps between passes (50 ms at most): a stop waits for the pass after
    // them, and a sleep that waits on no object costs less than one that does (under wine it
    // needs no trip to the server).
    if (stopEvent != nullptr && ms > 50) {
        WaitForSingleObject(stopEvent, ms);
    } else {
        Sleep(ms);
    }
}

void waitForActivity(PortHandle port, int timeoutMs) {
    if (stopRequested != 0) {
        return;
    }
    HANDLE wakes[3];
    DWORD count = 0;
    if (stopEvent != nullptr) {
        wakes[count++] = stopEvent;
    }
    if (port != kInvalidPort) {
        void* portEvent = nullptr;
        if (!serialArmWait(port, portEvent)) {
            return;  // bytes are already here
        }
        wakes[count++] = portEvent;
    }
    if (inputKind == Input::Stream && !inputEnded()) {
        // A key that comes after the look below still ends the wait: it sets the event, which
        // stays set until a wait takes it.
        wakes[count++] = keyQueue.arrived;
    }
    // A console handle also wakes for mouse and focus events, which _kbhit never consumes:
    // look for a key between short waits instead.
    const DWORD slice = inputKind == Input::Console ? kKeyPollMs : INFINITE;
    const std::uint64_t start = monotonicMs();
    for (;;) {
        if (keyWaiting()) {
            return;
        }
        DWORD wait = slice;
        if (timeoutMs >= 0) {
            const std::uint64_t spent = monotonicMs() - start;
            if (spent >= static_cast<std::uint64_t>(timeoutMs)) {
                return;
            }
            const std::uint64_t left = static_cast<std::uint64_t>(timeoutMs) - spent;
            wait = left < wait ? static_cast<DWORD>(left) : wait;
        }
        if (count == 0) {
            Sleep(wait);
        } else if (WaitForMultipleObjects(count, wakes, FALSE, wait) != WAIT_TIMEOUT) {
            return;
        }
    }
}

bool consoleIsTerminal(ConsoleStream stream) {
    DWORD mode = 0;
    return GetConsoleMode(
               GetStdHandle(stream == ConsoleStream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE),
               &mode) != 0;
}

bool stopPending() {
    return stopRequested != 0;
}

}  // namespace vg::platform
