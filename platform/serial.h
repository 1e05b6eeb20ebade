// Serial device layer: an exclusive, raw, non-blocking serial port. POSIX and Win32 versions.
//
// The port is opened for one user only, set to raw 8N1 at the asked speed with no flow control
// and DTR and RTS inactive. Reads return at once with what has arrived; writes are bounded by
// 10 ms per byte plus one second. On POSIX the handle is a file descriptor that can be polled.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vg::platform {

#ifdef _WIN32
using PortHandle = void*;
inline const PortHandle kInvalidPort = reinterpret_cast<void*>(static_cast<std::intptr_t>(-1));
#else
using PortHandle = int;
inline constexpr PortHandle kInvalidPort = -1;
#endif

// Longest device name serialPortName writes, with its terminator.
inline constexpr std::size_t kPortNameSize = 32;

// The device that port number N names: COM N. On POSIX that is /dev/ttyS(N-1); port 0 names no
// device and gives an empty name, whose open fails. Always terminates name.
void serialPortName(std::uint16_t port, char (&name)[kPortNameSize]);

// Why the last open failed, as far as the system tells: the device is not there, another
// program holds it, its permissions refuse us, or anything else.
enum class OpenFailure { None, Missing, Busy, Denied, Other };

// What a failed open or read was: its kind, the step that failed (the notice's text, for an
// open) and the system's code (errno or GetLastError; 0 for a read: the device hung up). The
// caller keeps it; nothing of it is kept here.
struct SerialFailure {
    OpenFailure kind = OpenFailure::None;
    const char* step = "";
    int code = 0;
};

// Opens and configures the device at path (a UTF-8 path or device name). On failure it shows the
// error notice ("Unable to open the port", "Unable to configure the serial port" or "Unable to set
// the time-out parameters"), closes whatever it opened, says why in failure and gives
// kInvalidPort. A quiet open (the retries after a lost link) shows no notice.
PortHandle serialOpen(const char* path, std::uint32_t baud, bool quiet, SerialFailure& failure);

// The failure in the system's words, into buf: "the device hung up" for a read with no code,
// the step and the reason for an open. Gives buf.
const char* describeSerialFailure(const SerialFailure& failure, char* buf, std::size_t size);

// What a device's permissions say about this user, for advice after a refused open.
struct DeviceAccess {
    bool groupKnown = false;  // the device is open to a group, named in group
    char group[64] = "";
    bool inSession = false;  // this login has that group
    bool listed = false;     // the user is a member, from a later login
};
DeviceAccess deviceAccess(const char* path);

// Received bytes waiting in the driver; 0 when the query fails. Clears pending line errors.
std::uint32_t serialBytesWaiting(PortHandle port);

// Reads up to count bytes that have already arrived, without waiting. Gives the number read
// (0 when nothing has arrived) or -1 on failure (why in failure), also when the device has hung
// up.
std::ptrdiff_t serialRead(PortHandle port, std::uint8_t* bytes, std::size_t count,
                          SerialFailure& failure);

// Waits up to ms milliseconds for more bytes to arrive; true when some have. Used only while a
// backlog is being read, where the driver hands it over in pieces.
bool serialAwaitMore(PortHandle port, int ms);

// Writes count bytes, giving up after 10 ms per byte plus 1000 ms. Gives the number written
// (possibly fewer on a time-out) or -1 on failure.
std::ptrdiff_t serialWrite(PortHandle port, const std::uint8_t* bytes, std::size_t count);

void serialClose(PortHandle port);

// The modal error notice, captioned "Error". On POSIX it goes to standard error; reason is the
// system's error code (errno or GetLastError), 0 for none.
void showErrorNotice(const char* text, int reason);
// Whether the notice may show a dialog and wait for it (Windows); false for unattended runs.
// The notice always goes to standard error as well.
void setErrorDialogs(bool enabled);

}  // namespace vg::platform
