// Files the program creates.
#pragma once

#include <cstdio>

namespace vg::platform {

// Creates the file name (a UTF-8 path) for binary writing, only when no file or link of that
// name exists: an existing one is never opened, truncated or followed. Null on failure, with
// errno set.
std::FILE* createNewFile(const char* name);

}  // namespace vg::platform
