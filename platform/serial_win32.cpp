#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>

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

bool quietOpen = false;  // set for the length of a quiet serialOpen
char lastReadFailure[64] = "no read has failed";

PortHandle fail(HANDLE port, const char* text) {
    if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(port);
    }
    if (!quietOpen) {
        showErrorNotice(text, 0);
    }
    return kInvalidPort;
}

PortHandle openAndConfigure(const char* path, std::uint32_t baud);

}  // namespace

void serialPortName(std::uint16_t port, char (&name)[kPortNameSize]) {
    std::snprintf(name, sizeof name, "\\\\.\\COM%u", static_cast<unsigned>(port));
}

PortHandle serialOpen(const char* path, std::uint32_t baud, bool quiet) {
    quietOpen = quiet;
    const PortHandle port = openAndConfigure(path, baud);
    quietOpen = false;
    return port;
}

namespace {

PortHandle openAndConfigure(const char* path, std::uint32_t baud) {
    wchar_t g_pUartPortName[kWideChars];
    toWide(path != nullptr ? path : "", g_pUartPortName);
    // Share mode 0: no other opener while the logger holds the port.
    const HANDLE port = CreateFileW(g_pUartPortName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return fail(port, kCantOpen);
    }

    DCB PortDCB{};
    PortDCB.DCBlength = sizeof(DCB);
    // Without the device's own settings the fields left alone would be guesses.
    if (!GetCommState(port, &PortDCB)) {
        return fail(port, kCantConfigure);
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
        return fail(port, kCantConfigure);
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
        return fail(port, kCantSetTimeouts);
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

std::ptrdiff_t serialRead(PortHandle port, std::uint8_t* bytes, std::size_t count) {
    DWORD got = 0;
    const auto ask = static_cast<DWORD>(count > MAXDWORD ? MAXDWORD : count);
    if (!ReadFile(port, bytes, ask, &got, nullptr)) {
        // An unplugged adapter fails every read from then on.
        std::snprintf(lastReadFailure, sizeof lastReadFailure, "read failed (system error %lu)",
                      static_cast<unsigned long>(GetLastError()));
        return -1;
    }
    return static_cast<std::ptrdiff_t>(got);
}

const char* serialReadFailure() {
    return lastReadFailure;
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
    (void)reason;
    wchar_t wide[kWideChars];
    toWide(text, wide);
    MessageBoxW(nullptr, wide, L"Error", MB_OK);
}

}  // namespace vg::platform
