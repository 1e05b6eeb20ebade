#include <windows.h>

#include <cstddef>
#include <cstdio>

#include "platform/console.h"
#include "platform/serial.h"

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

}  // namespace

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
                                    OPEN_EXISTING, 0, nullptr);
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
    // Reads return at once with what has arrived; a write of n bytes gets 10 n + 1000 ms.
    CommTimeouts.ReadIntervalTimeout = MAXDWORD;
    CommTimeouts.ReadTotalTimeoutMultiplier = 0;
    CommTimeouts.ReadTotalTimeoutConstant = 0;
    CommTimeouts.WriteTotalTimeoutMultiplier = 10;
    CommTimeouts.WriteTotalTimeoutConstant = 1000;
    if (!SetCommTimeouts(port, &CommTimeouts)) {
        return fail(o, port, kCantSetTimeouts);
    }
    return port;
}

}  // namespace

std::uint32_t serialBytesWaiting(PortHandle port) {
    DWORD dwErrors = 0;
    COMSTAT stat{};
    // Clearing the error flags is what lets transfers go on after a line error.
    if (!ClearCommError(port, &dwErrors, &stat)) {
        return 0;
    }
    return stat.cbInQue;
}

std::ptrdiff_t serialRead(PortHandle port, std::uint8_t* bytes, std::size_t count,
                          SerialFailure& failure) {
    DWORD got = 0;
    const auto ask = static_cast<DWORD>(count > MAXDWORD ? MAXDWORD : count);
    if (!ReadFile(port, bytes, ask, &got, nullptr)) {
        // An unplugged adapter fails every read from then on.
        failure = SerialFailure{OpenFailure::Other, "", static_cast<int>(GetLastError())};
        return -1;
    }
    if (got == 0) {
        // Some drivers let a read of nothing succeed on a device that is gone and fail only the
        // status query (a pseudo-terminal whose far end closed, under wine): ask it too.
        DWORD errors = 0;
        COMSTAT stat{};
        if (!ClearCommError(port, &errors, &stat)) {
            failure = SerialFailure{OpenFailure::Other, "", static_cast<int>(GetLastError())};
            return -1;
        }
    }
    return static_cast<std::ptrdiff_t>(got);
}

bool serialAwaitMore(PortHandle, int) {
    // The driver's queue holds a whole backlog at once; there are no pieces to wait for.
    return false;
}

std::ptrdiff_t serialWrite(PortHandle port, const std::uint8_t* bytes, std::size_t count) {
    DWORD written = 0;
    const auto ask = static_cast<DWORD>(count > MAXDWORD ? MAXDWORD : count);
    if (!WriteFile(port, bytes, ask, &written, nullptr)) {
        return -1;
    }
    return static_cast<std::ptrdiff_t>(written);
}

void serialClose(PortHandle port) {
    if (port != kInvalidPort && port != nullptr) {
        CloseHandle(port);
    }
}

void showErrorNotice(const char* text, int reason) {
    notice(text, nullptr, static_cast<DWORD>(reason));
}

void setErrorDialogs(bool enabled) {
    dialogsEnabled = enabled;
}

}  // namespace vg::platform
