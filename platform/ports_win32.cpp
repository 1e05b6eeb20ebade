#include <windows.h>
// After windows.h, which it needs.
#include <setupapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

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

// The system's words for an error code, without the line end it ends in.
std::string systemText(LONG code) {
    wchar_t text[256];
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(code), 0, text, 256, nullptr);
    std::string out = n > 0 ? narrow(text) : "error " + std::to_string(code);
    while (!out.empty() &&
           (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.')) {
        out.pop_back();
    }
    return out;
}

}  // namespace

// The registry key lists every serial port the drivers have made: value names are the drivers'
// devices, the values the COM names.
std::vector<SerialPortInfo> listSerialPorts(const PortRoots&, std::string* failure) {
    std::vector<SerialPortInfo> ports;
    if (failure != nullptr) {
        failure->clear();
    }
    HKEY key = nullptr;
    const LONG opened =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key);
    if (opened != ERROR_SUCCESS) {
        // The key is made with the first port: without it there is none.
        if (opened != ERROR_FILE_NOT_FOUND && failure != nullptr) {
            *failure = "cannot read the registry's SERIALCOMM key: " + systemText(opened);
        }
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
        if (r != ERROR_SUCCESS && r != ERROR_MORE_DATA) {
            if (failure != nullptr) {
                *failure = "cannot read the registry's SERIALCOMM key: " + systemText(r);
            }
            ports.clear();
            break;
        }
        if (r != ERROR_SUCCESS || type != REG_SZ) {
            continue;  // a value too long or not text names no port we could open
        }
        data[dataBytes / sizeof(wchar_t)] = L'\0';
        SerialPortInfo info;
        info.device = narrow(data);
        info.details = narrow(valueName);
        // The built-in ports' driver makes \Device\Serial<N>; everything else is an adapter.
        info.usb = info.details.rfind("\\Device\\Serial", 0) != 0;
        ports.push_back(std::move(info));
    }
    RegCloseKey(key);
    std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
        if (a.usb != b.usb) {
            return a.usb;
        }
        return comNumber(a.device) < comNumber(b.device);
    });
    return ports;
}

// The device instance of the present port whose "PortName" is the COM name at the end of path
// (\\.\COM5 or COM5), e.g. USB\VID_1A2B&PID_0042\SN77: what the system itself tells devices by.
IdentityLookup deviceIdentity(const char* path, const PortRoots&, DeviceIdentity& identity) {
    identity = DeviceIdentity{};
    if (path == nullptr) {
        return IdentityLookup::Absent;
    }
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '\\' || *p == '/') {
            name = p + 1;
        }
    }
    wchar_t wanted[64];
    if (MultiByteToWideChar(CP_UTF8, 0, name, -1, wanted, 64) == 0) {
        return IdentityLookup::Absent;
    }
    // The "Ports (COM & LPT)" device class.
    static const GUID kPortsClass = {
        0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    const HDEVINFO devices = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        return IdentityLookup::Absent;
    }
    IdentityLookup found = IdentityLookup::Absent;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; found == IdentityLookup::Absent && SetupDiEnumDeviceInfo(devices, i, &device);
         ++i) {
        const HKEY key =
            SetupDiOpenDevRegKey(devices, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE) {
            continue;
        }
        wchar_t portName[64];
        DWORD bytes = sizeof portName - sizeof(wchar_t);
        DWORD type = 0;
        const bool named =
            RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(portName),
                             &bytes) == ERROR_SUCCESS &&
            type == REG_SZ;
        RegCloseKey(key);
        if (!named) {
            continue;
        }
        portName[bytes / sizeof(wchar_t)] = L'\0';
        if (_wcsicmp(portName, wanted) != 0) {
            continue;
        }
        wchar_t instance[200];
        found = IdentityLookup::Unknown;
        if (SetupDiGetDeviceInstanceIdW(devices, &device, instance, 200, nullptr)) {
            const std::string text = narrow(instance);
            if (!text.empty()) {
                // A device without a serial number of its own gets a last part made up from
                // where it is plugged in ("5&2a3b4c&0&2"): the board replugged into another
                // socket would differ. Then only the hardware part counts, as on Linux.
                std::string compared = text;
                const std::size_t last = compared.rfind('\\');
                if (last != std::string::npos && compared.find('&', last) != std::string::npos) {
                    compared.resize(last);
                }
                std::snprintf(identity.key, sizeof identity.key, "%s", compared.c_str());
                std::snprintf(identity.shown, sizeof identity.shown, "%s", text.c_str());
                found = IdentityLookup::Known;
            }
        }
    }
    SetupDiDestroyDeviceInfoList(devices);
    return found;
}

std::string deviceForName(const char* name, const PortRoots&) {
    // The device namespace: COM10 and above open only by it, and no file of that name can.
    return std::string("\\\\.\\") + name;
}

}  // namespace vg::platform
