// Process-wide set-up of the standard streams, made once at start-up before the first message.
#pragma once

namespace vg::platform {

// Standard output and error carry exactly the bytes the program writes (no line-end
// translation), so every platform's console output is the same byte for byte.
void prepareStandardStreams();

// Keeps the signals meant for the main thread (whose sleeps and waits they cut short) away from
// the calling thread; a helper thread calls it first.
void holdSignalsInThisThread();

}  // namespace vg::platform
