// --keep N: after each rotation the oldest sets of files in the run's folder are deleted until N
// sets remain, the one being written among them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/set_names.h"

namespace vg::app {

// Looks in dir (null: the current directory) for sets named as this program names them, and
// deletes the oldest complete ones (a samples log and a misc log both there; only regular files
// of those names, never a link, never any other file) until keep remain, never the current
// set. One line on standard error for each set deleted; returns how many were.
std::uint64_t pruneSets(const char* dir, const SetKey& current, std::size_t keep);

}  // namespace vg::app
