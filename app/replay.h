// Offline replay: a raw capture decoded through the live run's framer, ring, decoder, tracker and
// log writers, as fast as the machine goes.
#pragma once

#include <ctime>

#include <span>

#include "app/app.h"
#include "app/options.h"
#include "app/run_tap.h"

namespace vg::app {

// The stamp in a capture's file name "raw.YYYYMonDD-HHMMSS.bin" (any directory before it) as
// a broken-down local time; false when the name carries none.
bool stampFromCaptureName(const char* path, std::tm& out);

// --replay: decodes the capture into two new logs in the current directory (or --dir), named
// after the capture's stamp (else the time now), through the same loop as a live run. The data
// path's own counters (the decoder's packets by kind, the framer's noise and its packet cut off
// by the capture's end) tell what was replayed. A stop request (Ctrl+C, a signal, the exit key)
// or the --samples limit ends it early with both logs closed complete. With --times, the
// capture's times (path + ".times") give every packet its live arrival and a times file is
// written beside the logs, as the live run wrote it. Returns the exit status: 0 when every line
// was logged, 1 when the capture could not be read or the logs not be created or completely
// written (the reason on standard error).
int runReplay(App& app, const Options& options, std::span<RunTap* const> taps);

}  // namespace vg::app
