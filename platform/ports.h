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

// The device a bare name such as ttyUSB0 names: on POSIX under the dev root, on Windows the name
// in the device namespace (\\.\COM5).
std::string deviceForName(const char* name, const PortRoots& roots);

}  // namespace vg::platform
