// Shared libraries loaded when a feature first needs them, so a run without the feature never
// pays for them (their pages, the libraries they bring, the time to link them at start).
#pragma once

#include <string>

namespace vg::platform {

struct Library {
    void* handle = nullptr;
};

// True with the library open; else false with the system's reason in why.
bool openLibrary(const char* name, Library& library, std::string& why);

// The address of a function the library exports; null when it has none.
void* librarySymbol(const Library& library, const char* name);

}  // namespace vg::platform
