// Console layer: the exit key, the start-up key wait and the loop's sleeps.
//
// At a terminal the console is put into single-key mode (no line editing, no echo) and its
// settings are restored on every way out. SIGINT, SIGTERM and SIGHUP (and on Windows the console's
// control events) do not kill the process: they arrive as the exit key, code 3, so the loop closes
// the logs as if the operator had typed it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/serial.h"

namespace vg::platform {

inline constexpr int kExitKey = 3;

// Takes over the console; call once, before the first key test.
void consoleOpen();
// Puts the terminal back as it was; safe to call more than once.
void consoleRestore();

// True when a key (or a stop request) waits to be read.
bool keyWaiting();
// True when a stop was requested (a signal, a console control event); reads no input.
bool stopPending();
// True when standard input is at end of file or closed, so no key can ever come.
bool inputEnded();
// The next key: a stop request reads as kExitKey; -1 when nothing was read.
int readKey();

void sleepMs(unsigned ms);

// Sleeps until the port or standard input has something to read, a stop is requested, or
// timeoutMs passes (a negative timeout waits without limit).
void waitForActivity(PortHandle port, int timeoutMs);

// Console output. Every message of the program goes through here, never straight to stdio, so
// that a console that does not take output (a full pipe, a stopped terminal) can never stall
// the data path.
enum class ConsoleStream { Out, Err };

// Hands a message to the console; never blocks the caller for long.
void consoleWrite(ConsoleStream stream, const char* text, std::size_t length);
void consoleWrite(ConsoleStream stream, const char* text);
// printf-style; the formatted text is cut at 1023 bytes.
void consolePrint(ConsoleStream stream, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// Is told of every message handed to consoleWrite (not the status line), on the caller's thread,
// right after; null stops it. The live view shows the run's messages through it.
using ConsoleObserver = void (*)(void* context, ConsoleStream stream, const char* text,
                                 std::size_t length);
void consoleObserve(ConsoleObserver observer, void* context);
// Shows line (no line end) as the status line, redrawn in place at the foot of a terminal
// standard error; null or "" takes it away. Does nothing when standard error is no terminal.
// It is cut to the terminal's width less one column, so it never wraps, and it is not drawn
// while the process is not in the terminal's foreground (a job sent to the background must not
// write over the shell's prompt); it comes back with the next call once the job is in front.
void consoleStatus(const char* line);
// The width in columns of the terminal standard error goes to, read again after every resize;
// 0 when it is no terminal or tells no width.
unsigned consoleColumns();
// True when the stream goes to a terminal (a console window on Windows).
bool consoleIsTerminal(ConsoleStream stream);
// Waits up to timeoutMs for what was handed over to be written (and takes the status line
// away); called on the way out.
void consoleFlush(int timeoutMs);
// Messages that could not be handed over (the console was not taking output) or could not be
// written, since the start of the process.
std::uint64_t consoleDroppedMessages();

}  // namespace vg::platform
