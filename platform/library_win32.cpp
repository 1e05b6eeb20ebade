#include <windows.h>

#include "platform/library.h"

namespace vg::platform {

bool openLibrary(const char* name, Library& library, std::string& why) {
    library.handle = LoadLibraryA(name);
    if (library.handle == nullptr) {
        why = std::string(name) + ": error " + std::to_string(GetLastError());
        return false;
    }
    return true;
}

void* librarySymbol(const Library& library, const char* name) {
    if (library.handle == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library.handle), name));
}

}  // namespace vg::platform
