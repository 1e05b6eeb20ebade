#include <windows.h>

#include <conio.h>

#include <atomic>
#include <cstdint>

#include "platform/console.h"

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
        keyQueue.arrived = CreateEventW(nullptr, TRUE, FALSE, nullptr);
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
    if (stopEvent != nullptr) {
        WaitForSingleObject(stopEvent, ms);
    } else {
        Sleep(ms);
    }
}

void waitForActivity(PortHandle port, int timeoutMs) {
    // A serial handle opened for plain synchronous transfers cannot be waited on: with a port
    // the loop's own paced sleeps are the wait.
    if (stopRequested != 0 || port != kInvalidPort) {
        return;
    }
    const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    if (inputKind == Input::Stream) {
        // Reset before looking, so a key that comes after the look still ends the wait.
        ResetEvent(keyQueue.arrived);
        if (keyWaiting() || inputEnded()) {
            return;
        }
        const HANDLE wakes[2] = {stopEvent, keyQueue.arrived};
        if (stopEvent != nullptr) {
            WaitForMultipleObjects(2, wakes, FALSE, wait);
        } else {
            WaitForSingleObject(keyQueue.arrived, wait);
        }
        return;
    }
    if (inputKind == Input::None) {
        sleepMs(wait == INFINITE ? INFINITE : static_cast<unsigned>(wait));
        return;
    }
    // A console handle also wakes for mouse and focus events, which _kbhit never consumes:
    // look for a key in short sleeps instead, which a stop cuts short.
    const std::uint64_t start = GetTickCount64();
    while (!keyWaiting()) {
        const std::uint64_t spent = GetTickCount64() - start;
        if (timeoutMs >= 0 && spent >= static_cast<std::uint64_t>(timeoutMs)) {
            return;
        }
        std::uint64_t slice = kKeyPollMs;
        if (timeoutMs >= 0 && static_cast<std::uint64_t>(timeoutMs) - spent < slice) {
            slice = static_cast<std::uint64_t>(timeoutMs) - spent;
        }
        sleepMs(static_cast<unsigned>(slice));
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
