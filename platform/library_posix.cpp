#include <dlfcn.h>

#include "platform/library.h"

namespace vg::platform {

bool openLibrary(const char* name, Library& library, std::string& why) {
    library.handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (library.handle == nullptr) {
        const char* error = dlerror();
        why = error != nullptr ? error : name;
        return false;
    }
    return true;
}

void* librarySymbol(const Library& library, const char* name) {
    return library.handle != nullptr ? dlsym(library.handle, name) : nullptr;
}

}  // namespace vg::platform
