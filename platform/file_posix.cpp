#include <cstdio>

#include "platform/file.h"

namespace vg::platform {

std::FILE* createNewFile(const char* name) {
    // "x" is O_EXCL: an existing file, or a link even to nowhere, makes the open fail.
    return std::fopen(name, "wbx");
}

}  // namespace vg::platform
