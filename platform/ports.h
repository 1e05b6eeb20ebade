// Serial port discovery: what ports this machine has, read from the system's device registry
// (sysfs on Linux, the SERIALCOMM registry key on Windows). Never opens a device.
#pragma once

#include <string>
#include <vector>

namespace vg::platform {

struct SerialPortInfo {
    std::string device;   // what to pass to vglog: /dev/ttyUSB0, COM5
    std::string byId;     // the stable path under /dev/serial/by-id, if any
    std::string vendor;   // USB maker and vendor id, if any
    std::string product;  // USB product and product id, if any
    std::string serial;   // USB serial number, if any
    std::string details;  // anything else the system says (Windows: the driver's device)
    bool usb = false;     // an adapter (USB, or known as one), not one of the machine's UARTs
};

// Where the listing looks. Tests point these at a made-up tree.
struct PortRoots {
    std::string sys = "/sys";
    std::string dev = "/dev";
};

// The real roots, unless VGLOG_SYS_ROOT / VGLOG_DEV_ROOT name others (a test hook).
PortRoots defaultPortRoots();

// The serial ports with a real driver behind them: adapters first, then the machine's own ports,
// each in natural order (ttyS2 before ttyS10). When the system's device registry cannot be read
// (too many open files, no sysfs) the list is empty and failure, when given, says why; it is
// cleared when the listing worked.
std::vector<SerialPortInfo> listSerialPorts(const PortRoots& roots, std::string* failure = nullptr);

// What tells one device from another across a replug: on Linux the USB vendor id, product id and
// serial number (from sysfs, as the listing reads them), on Windows the port's device instance.
// Fixed size, so a link can keep one for the whole run.
struct DeviceIdentity {
    char key[160] = "";    // what is compared; "" when nothing identifies the device
    char shown[224] = "";  // the same for the operator: "Board (1a2b:0042, serial SN77)"
};

enum class IdentityLookup {
    Absent,   // no device there now: an open would fail
    Unknown,  // a device is there, but nothing identifies it
    Known,
};

// The identity of the device that path (a device path, or on Windows \\.\COMn) names now,
// read under roots. Never opens the device.
IdentityLookup deviceIdentity(const char* path, const PortRoots& roots, DeviceIdentity& identity);

// The device a bare name such as ttyUSB0 names: on POSIX under the dev root, on Windows the name
// in the device namespace (\\.\COM5).
std::string deviceForName(const char* name, const PortRoots& roots);

}  // namespace vg::platform
