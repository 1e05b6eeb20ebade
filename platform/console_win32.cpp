#include <windows.h>

#include <conio.h>

#include "platform/console.h"

namespace vg::platform {

namespace {

volatile LONG stopRequested = 0;
HANDLE stopEvent = nullptr;  // set by the control handler, wakes a wait at once
HANDLE doneEvent = nullptr;  // set once the logs are closed, so a closing console can go
HANDLE input = INVALID_HANDLE_VALUE;
DWORD inputType = FILE_TYPE_UNKNOWN;
bool inputClosed = false;

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
    }
    return TRUE;
}

}  // namespace

void consoleOpen() {
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    doneEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onControl, TRUE);
    input = GetStdHandle(STD_INPUT_HANDLE);
    inputType = (input == nullptr || input == INVALID_HANDLE_VALUE) ? FILE_TYPE_UNKNOWN
                                                                    : GetFileType(input);
    if (inputType == FILE_TYPE_UNKNOWN) {
        inputClosed = true;
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
    if (inputClosed) {
        return false;
    }
    switch (inputType) {
        case FILE_TYPE_CHAR:
            return _kbhit() != 0;
        case FILE_TYPE_PIPE: {
            DWORD available = 0;
            if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr)) {
                return true;  // broken pipe: the read that follows finds the end
            }
            return available > 0;
        }
        default:
            return true;  // a file: reads never wait
    }
}

bool inputEnded() {
    return inputClosed;
}

int readKey() {
    if (stopRequested != 0) {
        return kExitKey;
    }
    if (inputClosed) {
        return -1;
    }
    if (inputType == FILE_TYPE_CHAR) {
        return _getch();
    }
    unsigned char key = 0;
    DWORD got = 0;
    if (!ReadFile(input, &key, 1, &got, nullptr) || got == 0) {
        inputClosed = true;
        return -1;
    }
    return key;
}

void sleepMs(unsigned ms) {
    if (stopEvent != nullptr) {
        WaitForSingleObject(stopEvent, ms);
    } else {
        Sleep(ms);
    }
}

void waitForActivity(PortHandle, int timeoutMs) {
    // A serial handle opened for plain synchronous transfers cannot be waited on, so the loop
    // keeps its short sleeps here; a stop request still ends the wait at once.
    (void)timeoutMs;
}

}  // namespace vg::platform

namespace vg::platform {

bool consoleIsTerminal(ConsoleStream stream) {
    DWORD mode = 0;
    return GetConsoleMode(
               GetStdHandle(stream == ConsoleStream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE),
               &mode) != 0;
}

}  // namespace vg::platform

namespace vg::platform {

bool stopPending() {
    return stopRequested != 0;
}

}  // namespace vg::platform
