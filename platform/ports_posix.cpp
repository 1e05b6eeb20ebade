#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "platform/ports.h"

namespace vg::platform {

namespace fs = std::filesystem;

namespace {

// The first failure that makes the listing incomplete: "" while none.
struct Failure {
    std::string text;

    void note(const fs::path& what, int err) {
        if (text.empty()) {
            text = "cannot read " + what.string() + ": " + std::strerror(err);
        }
    }
};

// Errors that say the attribute is not there (or not for us), as opposed to the system refusing
// to open anything just now (out of descriptors or memory), which would leave the list short.
bool isAbsence(int err) {
    return err == ENOENT || err == ENOTDIR || err == EACCES || err == EPERM || err == ENODEV ||
           err == ENXIO || err == EINVAL || err == EIO;
}

// The first line of a sysfs attribute, or "" when there is none.
std::string attribute(const fs::path& file, Failure& failure) {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (!isAbsence(errno)) {
            failure.note(file, errno);
        }
        return {};
    }
    char buf[256];
    ssize_t n;
    do {
        n = read(fd, buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
    close(fd);
    std::string line(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    line = line.substr(0, line.find('\n'));
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
bool hasHardware(const fs::path& ttyDir, Failure& failure) {
    const std::string type = attribute(ttyDir / "type", failure);
    return type != "0";
}

// The USB device above the tty in the device tree: the first ancestor with a vendor id; empty
// when there is none.
fs::path usbDevice(const fs::path& ttyDir, Failure& failure) {
    std::error_code ec;
    fs::path dir = fs::canonical(ttyDir / "device", ec);
    if (ec) {
        return {};
    }
    for (int depth = 0; depth < 4 && dir.has_relative_path(); ++depth, dir = dir.parent_path()) {
        if (!attribute(dir / "idVendor", failure).empty()) {
            return dir;
        }
    }
    return {};
}

void addUsbDetails(const fs::path& ttyDir, SerialPortInfo& info, Failure& failure) {
    const fs::path dir = usbDevice(ttyDir, failure);
    if (dir.empty()) {
        return;
    }
    info.vendor =
        named(attribute(dir / "manufacturer", failure), attribute(dir / "idVendor", failure));
    info.product =
        named(attribute(dir / "product", failure), attribute(dir / "idProduct", failure));
    info.serial = attribute(dir / "serial", failure);
}

// tty name -> the path of its by-id link. Machines without USB serial devices have no by-id
// folder at all.
std::map<std::string, std::string> byIdPaths(const fs::path& devRoot, Failure& failure) {
    std::map<std::string, std::string> paths;
    const fs::path dir = devRoot / "serial" / "by-id";
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code linkEc;
        const fs::path target = fs::read_symlink(it->path(), linkEc);
        if (!linkEc) {
            paths.emplace(target.filename().string(), it->path().string());
        }
    }
    if (ec && !isAbsence(ec.value())) {
        failure.note(dir, ec.value());
    }
    return paths;
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

std::vector<SerialPortInfo> listSerialPorts(const PortRoots& roots, std::string* failure) {
    std::vector<SerialPortInfo> ports;
    Failure failed;
    const fs::path classDir = fs::path(roots.sys) / "class" / "tty";
    const auto ids = byIdPaths(roots.dev, failed);
    std::error_code ec;
    for (fs::directory_iterator it(classDir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path ttyDir = it->path();
        std::error_code driverEc;
        // Virtual terminals, pseudo-terminals and the console have no device driver behind them.
        if (!fs::exists(ttyDir / "device" / "driver", driverEc) || !hasHardware(ttyDir, failed)) {
            continue;
        }
        const std::string name = ttyDir.filename().string();
        SerialPortInfo info;
        info.device = (fs::path(roots.dev) / name).string();
        if (const auto id = ids.find(name); id != ids.end()) {
            info.byId = id->second;
        }
        addUsbDetails(ttyDir, info, failed);
        info.usb = !info.vendor.empty() || !info.byId.empty();
        ports.push_back(std::move(info));
    }
    // Every Linux system has this folder: not finding it is a failure, not an empty list.
    if (ec) {
        failed.note(classDir, ec.value());
    }
    if (!failed.text.empty()) {
        ports.clear();  // a short list would pass for the whole one
    }
    if (failure != nullptr) {
        *failure = failed.text;
    }
    // The adapter just plugged in comes before the machine's own UARTs, so it is the example.
    std::sort(ports.begin(), ports.end(), [](const SerialPortInfo& a, const SerialPortInfo& b) {
        if (a.usb != b.usb) {
            return a.usb;
        }
        return naturalLess(fs::path(a.device).filename().string(),
                           fs::path(b.device).filename().string());
    });
    return ports;
}

IdentityLookup deviceIdentity(const char* path, const PortRoots& roots, DeviceIdentity& identity) {
    identity = DeviceIdentity{};
    // The node's device number leads to its sysfs entry whatever name or link reached it: a
    // by-id link, a ttyUSB name that a replug gave to another adapter, a link of the user's own.
    struct stat st {};
    if (path == nullptr || stat(path, &st) != 0) {
        return IdentityLookup::Absent;
    }
    if (!S_ISCHR(st.st_mode)) {
        return IdentityLookup::Unknown;
    }
    const fs::path entry =
        fs::path(roots.sys) / "dev" / "char" /
        (std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)));
    Failure failure;  // an attribute that cannot be read leaves the device unidentified
    const fs::path dir = usbDevice(entry, failure);
    if (dir.empty()) {
        return IdentityLookup::Unknown;
    }
    const std::string vendorId = attribute(dir / "idVendor", failure);
    const std::string productId = attribute(dir / "idProduct", failure);
    const std::string serial = attribute(dir / "serial", failure);
    const std::string product = attribute(dir / "product", failure);
    std::snprintf(identity.key, sizeof identity.key, "%s:%s:%s", vendorId.c_str(),
                  productId.c_str(), serial.c_str());
    std::snprintf(identity.shown, sizeof identity.shown, "%s%s(%s:%s%s%s)", product.c_str(),
                  product.empty() ? "" : " ", vendorId.c_str(), productId.c_str(),
                  serial.empty() ? "" : ", serial ", serial.c_str());
    return IdentityLookup::Known;
}

std::string deviceForName(const char* name, const PortRoots& roots) {
    return (fs::path(roots.dev) / name).string();
}

}  // namespace vg::platform
