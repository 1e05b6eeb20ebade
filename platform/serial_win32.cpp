#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <initializer_list>

#include "platform/console.h"
#include "platform/serial.h"
#include "platform/serial_wait_win32.h"

namespace vg::platform {

namespace {

constexpr const char* kCantOpen = "Unable to open the port";
constexpr const char* kCantConfigure = "Unable to configure the serial port";
constexpr const char* kCantSetTimeouts = "Unable to set the time-out parameters";

// Device paths and notices are short; longer ones are cut, never overrun.
constexpr int kWideChars = 260;

void toWide(const char* text, wchar_t (&wide)[kWideChars]) {
    wide[0] = L'\0';
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, kWideChars) == 0) {
        wide[kWideChars - 1] = L'\0';
    }
}

// At least a second of the line at 115 200 baud (11 520 bytes) fits the driver's receive queue,
// so a pass that comes late loses nothing.
constexpr DWORD kReceiveQueue = 16384;
constexpr DWORD kTransmitQueue = 4096;

bool dialogsEnabled = true;

// The system's message for code, as UTF-8 without its closing period and line end; the bare
// number when the system has no message for it.
void systemReason(DWORD code, char (&out)[512]) {
    out[0] = '\0';
    wchar_t wide[256];
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, wide, 256, nullptr);
    if (n == 0) {
        std::snprintf(out, sizeof out, "system error %lu", static_cast<unsigned long>(code));
        return;
    }
    DWORD end = n;
    while (end > 0 && (wide[end - 1] == L'\r' || wide[end - 1] == L'\n' || wide[end - 1] == L' ' ||
                       wide[end - 1] == L'.')) {
        --end;
    }
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(end), out,
                                          static_cast<int>(sizeof out) - 1, nullptr, nullptr);
    out[bytes > 0 ? bytes : 0] = '\0';
}

// "Error: " and the text, the device and the system's reason, as the POSIX build writes it.
void noticeLine(const char* text, const char* path, const char* reason) {
    char line[1024];
    int n =
        std::snprintf(line, sizeof line, "Error: %s%s%s%s%s\n", text, path != nullptr ? ": " : "",
                      path != nullptr ? path : "", reason[0] != '\0' ? ": " : "", reason);
    if (n > 0) {
        if (static_cast<std::size_t>(n) >= sizeof line) {
            n = static_cast<int>(sizeof line) - 1;
            line[n - 1] = '\n';
        }
        consoleWrite(ConsoleStream::Err, line, static_cast<std::size_t>(n));
    }
}

void notice(const char* text, const char* path, DWORD code) {
    char reason[512] = "";
    if (code != 0) {
        systemReason(code, reason);
    }
    noticeLine(text, path, reason);
    // A box waits for someone to press OK: only where someone can, at a console window.
    if (!dialogsEnabled || GetConsoleWindow() == nullptr) {
        return;
    }
    char boxText[1024];
    std::snprintf(boxText, sizeof boxText, "%s%s%s", text, reason[0] != '\0' ? "\r\n\r\n" : "",
                  reason);
    wchar_t wide[kWideChars * 2];
    wide[0] = L'\0';
    if (MultiByteToWideChar(CP_UTF8, 0, boxText, -1, wide, kWideChars * 2) == 0) {
        wide[kWideChars * 2 - 1] = L'\0';
    }
    MessageBoxW(nullptr, wide, L"Error", MB_OK | MB_ICONERROR);
}

OpenFailure openFailureOf(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_NETPATH:
        case ERROR_INVALID_NAME:
            return OpenFailure::Missing;
        case ERROR_ACCESS_DENIED:  // what Windows answers for a COM port another program holds
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            return OpenFailure::Busy;
        default:
            return OpenFailure::Other;
    }
}

// What an open's steps share: the device, whether to say a failure, and where to put it.
struct Opening {
    const char* path;
    bool quiet;
    SerialFailure& failure;
};

PortHandle fail(Opening& o, HANDLE port, const char* text) {
    const DWORD code = GetLastError();
    o.failure = SerialFailure{openFailureOf(code), text, static_cast<int>(code)};
    if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(port);
    }
    if (!o.quiet) {
        notice(text, o.path, code);
    }
    return kInvalidPort;
}

PortHandle openAndConfigure(Opening& o, std::uint32_t baud);

// An open port. The device is opened for overlapped transfers so the loop can sleep on it: a
// read of one byte is kept outstanding while the loop waits (a wait on comm events is polled
// every millisecond by some drivers, wine's among them; a read is not), and the byte it brings
// is handed over first by the next serialRead. Every other read asks only for what the driver
// already holds, so it returns at once on every driver.
struct Port {
    HANDLE device = INVALID_HANDLE_VALUE;
    HANDLE writeDone = nullptr;
    OVERLAPPED waitRead{};  // the outstanding one-byte read, its event set when it completes
    bool waiting = false;
    bool holding = false;  // the byte that read brought waits for serialRead
    std::uint8_t held = 0;
    DWORD error = 0;  // why the outstanding read failed
    // The driver's count from serialBytesWaiting, for the read that follows it at once: under
    // wine every query is two more system calls on each pass. Only our own reads take bytes
    // from the queue, so with no read outstanding the count is never more than the queue holds;
    // the next read, a wait or a close forgets it.
    DWORD counted = 0;
    bool countFresh = false;
};

// The logger holds one port at a time; a few slots spare room for a port being reopened.
constexpr int kPorts = 4;
Port ports[kPorts];

Port* portOf(PortHandle handle) {
    return handle == kInvalidPort || handle == nullptr ? nullptr : static_cast<Port*>(handle);
}

// Takes an open device into a free slot, its events made once per slot and kept; kInvalidPort
// (the device left open) when there is none.
PortHandle adopt(HANDLE device) {
    for (Port& p : ports) {
        if (p.device != INVALID_HANDLE_VALUE) {
            continue;
        }
        for (HANDLE* event : {&p.writeDone, &p.waitRead.hEvent}) {
            if (*event == nullptr) {
                *event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            }
        }
        if (p.writeDone == nullptr || p.waitRead.hEvent == nullptr) {
            break;
        }
        p.device = device;
        p.countFresh = false;
        p.waiting = false;
        p.holding = false;
        p.error = 0;
        return &p;
    }
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return kInvalidPort;
}

// Ends the outstanding one-byte read: keeps its byte if it brought one. False when it failed
// (the device is gone).
bool settleWait(Port& p, bool cancel) {
    if (!p.waiting) {
        return true;
    }
    if (!HasOverlappedIoCompleted(&p.waitRead)) {
        if (!cancel) {
            return true;
        }
        CancelIoEx(p.device, &p.waitRead);
    }
    p.waiting = false;
    DWORD got = 0;
    if (GetOverlappedResult(p.device, &p.waitRead, &got, TRUE)) {
        p.holding = got == 1;
        return true;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_OPERATION_ABORTED) {
        return true;
    }
    p.error = code;  // the read that follows reports it
    return false;
}

// Waits for an overlapped transfer started on the device; bounded by the port's time-outs.
bool finish(Port& p, BOOL started, OVERLAPPED& io, DWORD& done) {
    if (started) {
        return true;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return false;
    }
    return GetOverlappedResult(p.device, &io, &done, TRUE) != 0;
}

}  // namespace

bool serialArmWait(PortHandle handle, void*& event) {
    Port* p = portOf(handle);
    if (p == nullptr || p->holding) {
        return false;
    }
    p->countFresh = false;
    if (!p->waiting) {
        // Bytes already waiting need no read to tell it (the query costs less than a read).
        DWORD errors = 0;
        COMSTAT stat{};
        if (!ClearCommError(p->device, &errors, &stat) || stat.cbInQue > 0) {
            return false;
        }
        DWORD got = 0;
        if (ReadFile(p->device, &p->held, 1, &got, &p->waitRead)) {
            p->holding = got == 1;
            return false;  // a byte came meanwhile
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            return false;  // the read that follows meets the failure
        }
        p->waiting = true;
    }
    if (HasOverlappedIoCompleted(&p->waitRead)) {
        return false;
    }
    event = p->waitRead.hEvent;
    return true;
}

void serialPortName(std::uint16_t port, char (&name)[kPortNameSize]) {
    std::snprintf(name, sizeof name, "\\\\.\\COM%u", static_cast<unsigned>(port));
}

PortHandle serialOpen(const char* path, std::uint32_t baud, bool quiet, SerialFailure& failure) {
    failure = SerialFailure{};
    Opening o{path, quiet, failure};
    return openAndConfigure(o, baud);
}

const char* describeSerialFailure(const SerialFailure& failure, char* buf, std::size_t size) {
    char reason[512] = "the device hung up";
    if (failure.code != 0) {
        systemReason(static_cast<DWORD>(failure.code), reason);
    }
    if (failure.step[0] == '\0') {
        std::snprintf(buf, size, "%s", reason);
    } else {
        std::snprintf(buf, size, "%s%s%s", failure.step, failure.code != 0 ? ": " : "",
                      failure.code != 0 ? reason : "");
    }
    return buf;
}

DeviceAccess deviceAccess(const char*) {
    return {};  // no group grants a COM port
}

namespace {

PortHandle openAndConfigure(Opening& o, std::uint32_t baud) {
    const char* path = o.path;
    wchar_t g_pUartPortName[kWideChars];
    toWide(path != nullptr ? path : "", g_pUartPortName);
    // Share mode 0: no other opener while the logger holds the port.
    const HANDLE port = CreateFileW(g_pUartPortName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return fail(o, port, kCantOpen);
    }

    // A driver that keeps its own queue sizes still works; the request is advice.
    SetupComm(port, kReceiveQueue, kTransmitQueue);

    DCB PortDCB{};
    PortDCB.DCBlength = sizeof(DCB);
    // Without the device's own settings the fields left alone would be guesses.
    if (!GetCommState(port, &PortDCB)) {
        return fail(o, port, kCantConfigure);
    }
    PortDCB.BaudRate = baud;
    PortDCB.fBinary = TRUE;
    PortDCB.fParity = FALSE;
    PortDCB.fOutxCtsFlow = FALSE;
    PortDCB.fOutxDsrFlow = FALSE;
    PortDCB.fDtrControl = DTR_CONTROL_DISABLE;
    PortDCB.fDsrSensitivity = FALSE;
    PortDCB.fTXContinueOnXoff = TRUE;
    PortDCB.fOutX = FALSE;
    PortDCB.fInX = FALSE;
    PortDCB.fErrorChar = FALSE;
    PortDCB.fNull = FALSE;
    PortDCB.fRtsControl = RTS_CONTROL_DISABLE;
    PortDCB.fAbortOnError = FALSE;
    PortDCB.ByteSize = 8;
    PortDCB.Parity = NOPARITY;
    PortDCB.StopBits = ONESTOPBIT;
    if (!SetCommState(port, &PortDCB)) {
        return fail(o, port, kCantConfigure);
    }

    COMMTIMEOUTS CommTimeouts{};
    GetCommTimeouts(port, &CommTimeouts);
    // No read time-outs: a read asks only for bytes the driver already holds, which it has at
    // once, and the loop's wait is a read of one byte that waits for as long as nothing comes
    // (a read interval would also send every read through the slow path of some drivers,
    // wine's among them). A write of n bytes gets 10 n + 1000 ms.
    CommTimeouts.ReadIntervalTimeout = 0;
    CommTimeouts.ReadTotalTimeoutMultiplier = 0;
    CommTimeouts.ReadTotalTimeoutConstant = 0;
    CommTimeouts.WriteTotalTimeoutMultiplier = 10;
    CommTimeouts.WriteTotalTimeoutConstant = 1000;
    if (!SetCommTimeouts(port, &CommTimeouts)) {
        return fail(o, port, kCantSetTimeouts);
    }
    const PortHandle adopted = adopt(port);
    return adopted != kInvalidPort ? adopted : fail(o, port, kCantOpen);
}

}  // namespace

std::uint32_t serialBytesWaiting(PortHandle handle) {
    Port* p = portOf(handle);
    DWORD dwErrors = 0;
    COMSTAT stat{};
    // Clearing the error flags is what lets transfers go on after a line error.
    if (p == nullptr || !settleWait(*p, false) || !ClearCommError(p->device, &dwErrors, &stat)) {
        if (p != nullptr) {
            p->countFresh = false;  // the read asks again, and says why it failed
        }
        return 0;
    }
    p->counted = stat.cbInQue;
    p->countFresh = true;
    return stat.cbInQue + (p->holding ? 1u : 0u);
}

std::ptrdiff_t serialRead(PortHandle handle, std::uint8_t* bytes, std::size_t count,
                          SerialFailure& failure) {
    Port* p = portOf(handle);
    if (p == nullptr) {
        failure = SerialFailure{OpenFailure::Other, "", ERROR_INVALID_HANDLE};
        return -1;
    }
    DWORD errors = 0;
    COMSTAT stat{};
    // Not while the one-byte read is outstanding: it may take a counted byte meanwhile.
    const bool counted = p->countFresh && !p->waiting;
    p->countFresh = false;
    stat.cbInQue = p->counted;
    // The status query also tells a device that is gone (a pseudo-terminal whose far end closed,
    // under wine), where a read of nothing may succeed.
    if (!settleWait(*p, false) || (!counted && !ClearCommError(p->device, &errors, &stat))) {
        failure = SerialFailure{OpenFailure::Other, "",
                                static_cast<int>(p->error != 0 ? p->error : GetLastError())};
        return -1;
    }
    // Bytes that came after the outstanding read was answered must not pass its byte.
    if (p->waiting && stat.cbInQue > 0 && !settleWait(*p, true)) {
        failure = SerialFailure{OpenFailure::Other, "", static_cast<int>(p->error)};
        return -1;
    }
    std::size_t n = 0;
    if (p->holding && count > 0) {
        bytes[n++] = p->held;
        p->holding = false;
    }
    const std::size_t room = count - n;
    const DWORD ask = static_cast<DWORD>(stat.cbInQue < room ? stat.cbInQue : room);
    if (ask == 0) {
        return static_cast<std::ptrdiff_t>(n);
    }
    // No event: nothing else is under way on the device (the one-byte read was settled above),
    // so a read that does not complete at once is waited for on the device itself.
    DWORD got = 0;
    OVERLAPPED io{};
    if (!finish(*p, ReadFile(p->device, bytes + n, ask, &got, &io), io, got)) {
        // An unplugged adapter fails every read from then on; the held byte goes first.
        failure = SerialFailure{OpenFailure::Other, "", static_cast<int>(GetLastError())};
        return n > 0 ? static_cast<std::ptrdiff_t>(n) : -1;
    }
    return static_cast<std::ptrdiff_t>(n + got);
}

bool serialAwaitMore(PortHandle, int) {
    // The driver's queue holds a whole backlog at once; there are no pieces to wait for.
    return false;
}

std::ptrdiff_t serialWrite(PortHandle handle, const std::uint8_t* bytes, std::size_t count) {
    Port* p = portOf(handle);
    if (p == nullptr) {
        return -1;
    }
    DWORD written = 0;
    const auto ask = static_cast<DWORD>(count > MAXDWORD ? MAXDWORD : count);
    OVERLAPPED io{};
    io.hEvent = p->writeDone;
    if (!finish(*p, WriteFile(p->device, bytes, ask, &written, &io), io, written)) {
        return -1;
    }
    return static_cast<std::ptrdiff_t>(written);
}

void serialClose(PortHandle handle) {
    Port* p = portOf(handle);
    if (p == nullptr) {
        return;
    }
    settleWait(*p, true);
    p->countFresh = false;
    CloseHandle(p->device);
    p->device = INVALID_HANDLE_VALUE;
    p->holding = false;
}

void showErrorNotice(const char* text, int reason) {
    notice(text, nullptr, static_cast<DWORD>(reason));
}

void setErrorDialogs(bool enabled) {
    dialogsEnabled = enabled;
}

}  // namespace vg::platform
