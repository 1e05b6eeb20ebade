#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>

#include "platform/ports.h"

namespace vg::platform {

namespace fs = std::filesystem;

namespace {

// The first line of a sysfs attribute, or "" when there is none.
std::string attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
        line.pop_back();
    }
    return line;
}

// "name (id)", either part alone, or "".
std::string named(const std::string& name, const std::string& id) {
    if (name.empty()) {
        return id;
    }
    return id.empty() ? name : name + " (" + id + ")";
}

// Builtin UARTs of the 8250 family all get a node whether or not the hardware is there; sysfs
// says which exist (type 0 is "unknown": no port), so no device needs opening to find out.
bool hasHardware(const fs::path& ttyDir) {
    const std::string type = attribute(ttyDir / "type");
    return type != "0";
}

// The USB device above the tty in the device tree: the first ancestor with a vendor id.
void addUsbDetails(const fs::path& ttyDir, SerialPortInfo& info) {
    std::error_code ec;
    fs::path dir = fs::canonical(ttyDir / "device", ec);
    if (ec) {
        return;
    }
    for (int depth = 0; depth < 4 && dir.has_relative_path(); ++depth, dir = dir.parent_path()) {
        const std::string vendorId = attribute(dir / "idVendor");
        if (vendorId.empty()) {
            continue;
        }
        info.vendor = named(attribute(dir / "manufacturer"), vendorId);
        info.product = named(attribute(dir / "product"), attribute(dir / "idProduct"));
        info.serial = attribute(dir / "serial");
        return;
    }
}

// tty name -> its by-id link's name.
std::map<std::string, std::string> byIdNames(const fs::path& devRoot) {
    std::map<std::string, std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(devRoot / "serial" / "by-id", ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code linkEc;
        const fs::path target = fs::read_symlink(it->path(), linkEc);
        if (!linkEc) {
            names.emplace(target.filename().string(), it->path().filename().string());
        }
    }
    return names;
}

// ttyS2 before ttyS10: names compare by their letters, then by the number at the end.
bool naturalLess(const std::string& a, const std::string& b) {
    auto split = [](const std::string& s) {
        std::size_t i = s.size();
        while (i > 0 && std::isdigit(static_cast<unsigned char>(s[i - 1]))) {
            --i;
        }
        const std::string digits = s.substr(i);
        return std::make_pair(s.substr(0, i),
                              digits.empty() ? -1L : std::stol(digits.substr(0, 9)));
    };
    return split(a) < split(b);
}

}  // namespace

std::vector<SerialPortInfo> listSerialPorts(const PortRoots& roots) {
    std::vector<SerialPortInfo> ports;
    const fs::path classDir = fs::path(roots.sys) / "class" / "tty";
    const auto ids = byIdNames(roots.dev);
    std::error_code ec;
    for (fs::directory_iterator it(classDir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path ttyDir = it->path();
        std::error_code driverEc;
        // Virtual terminals, pseudo-terminals and the console have no device driver behind them.
        if (!fs::exists(ttyDir / "device" / "driver", driverEc) || !hasHardware(ttyDir)) {
            continue;
        }
        const std::string name = ttyDir.filename().string();
        SerialPortInfo info;
        info.device = (fs::path(roots.dev) / name).string();
        if (const auto id = ids.find(name); id != ids.end()) {
            info.byId = id->second;
        }
        addUsbDetails(ttyDir, info);
        ports.push_back(std::move(info));
    }
    std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
        return naturalLess(fs::path(a.device).filename().string(),
                           fs::path(b.device).filename().string());
    });
    return ports;
}

std::string deviceForName(const char* name, const PortRoots& roots) {
    return (fs::path(roots.dev) / name).string();
}

}  // namespace vg::platform
