// The service manager's notifications: when a service manager started us and handed us its
// socket (NOTIFY_SOCKET), short "KEY=value" datagrams tell it we are ready, what we are doing,
// and that the main loop still turns (the watchdog). Where there is no such socket (no service
// manager, Windows) every call does nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace vg::platform {

struct Notifier {
    int socket = -1;                  // -1: no manager to tell
    std::array<char, 112> address{};  // the socket's address as the system takes it
    std::size_t addressLength = 0;
    std::uint64_t watchdogUs = 0;  // how often the manager wants to hear from us; 0: never
};

// Reads NOTIFY_SOCKET (a path, or "@name" for an abstract socket) and WATCHDOG_USEC (taken only
// when WATCHDOG_PID is unset or names this process). 0, also when there is no socket to tell;
// otherwise an errno value (the socket named cannot be used).
int openNotifier(Notifier& notifier);

// Sends one datagram of lines ("READY=1", "STATUS=...\nWATCHDOG=1"); never waits. 0 when it was
// sent or there is nobody to tell, otherwise an errno value.
int notify(const Notifier& notifier, const char* text, std::size_t length);

void closeNotifier(Notifier& notifier);

}  // namespace vg::platform
