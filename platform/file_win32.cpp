#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

#include "platform/file.h"

namespace vg::platform {

std::FILE* createNewFile(const char* name) {
    // The C runtime's fopen ignores "x" here; _O_EXCL is the exclusive create it does honour.
    wchar_t wide[MAX_PATH];
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide, MAX_PATH) == 0) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    int fd = -1;
    // Others may read the log while it grows, but nobody else writes to it.
    const errno_t err = _wsopen_s(&fd, wide, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYWR,
                                  _S_IREAD | _S_IWRITE);
    if (err != 0) {
        errno = err;
        return nullptr;
    }
    std::FILE* f = _fdopen(fd, "wb");
    if (f == nullptr) {
        const int saved = errno;
        _close(fd);
        _wremove(wide);
        errno = saved;
    }
    return f;
}

}  // namespace vg::platform
