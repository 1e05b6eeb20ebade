#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "platform/ports.h"

namespace vg::platform {

namespace {

std::string narrow(const wchar_t* wide) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) {
        return {};
    }
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), n, nullptr, nullptr);
    out.pop_back();  // the terminator
    return out;
}

// COM2 before COM10.
int comNumber(const std::string& name) {
    return name.size() > 3 ? std::atoi(name.c_str() + 3) : 0;
}

}  // namespace

// The registry key lists every serial port the drivers have made: value names are the drivers'
// devices, the values the COM names.
std::vector<SerialPortInfo> listSerialPorts(const PortRoots&) {
    std::vector<SerialPortInfo> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return ports;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t valueName[256];
        DWORD nameChars = 256;
        wchar_t data[256];
        DWORD dataBytes = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        const LONG r = RegEnumValueW(key, index, valueName, &nameChars, nullptr, &type,
                                     reinterpret_cast<BYTE*>(data), &dataBytes);
        if (r == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (r != ERROR_SUCCESS || type != REG_SZ) {
            continue;
        }
        data[dataBytes / sizeof(wchar_t)] = L'\0';
        SerialPortInfo info;
        info.device = narrow(data);
        info.details = narrow(valueName);
        ports.push_back(std::move(info));
    }
    RegCloseKey(key);
    std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
        return comNumber(a.device) < comNumber(b.device);
    });
    return ports;
}

std::string deviceForName(const char* name, const PortRoots&) {
    // The device namespace: COM10 and above open only by it, and no file of that name can.
    return std::string("\\\\.\\") + name;
}

}  // namespace vg::platform
