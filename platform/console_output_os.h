// What the console's writer needs from the system: the portable queue and writer thread live in
// console_output.cpp, these few calls in console_output_posix.cpp and console_output_win32.cpp.
#pragma once

#include <cstddef>

#include "platform/console.h"

namespace vg::platform::output_os {

// Made once, before the first message: a reader that goes away must never end the process, and
// a forked child must get a writer of its own (the hooks keep the queue's lock sound).
void prepareProcess(void (*beforeFork)(), void (*afterForkParent)(), void (*afterForkChild)());

// Starts body(context) on a detached thread that takes no signals meant for the main thread;
// false when no thread could be made.
bool startWriter(void (*body)(void*), void* context);

// Writes all of the bytes to the stream, waiting as long as it takes; false when something
// could not be written.
bool writeAll(ConsoleStream stream, const void* bytes, std::size_t length);

// How the status line can be drawn on standard error.
enum class StatusTerminal {
    None,      // no terminal: no status line at all
    Escapes,   // the terminal erases a line on "\x1b[K"
    Overwrite  // a console without escape sequences (or TERM=dumb): old text is covered with spaces
};
StatusTerminal statusTerminal();

// Columns of standard error's terminal, 0 when unknown; cheap enough to ask for every line.
unsigned terminalColumns();

// False while the process is in the background of standard error's terminal, where a status
// line would land on the shell's prompt.
bool inFront();

}  // namespace vg::platform::output_os
