#include "platform/notify.h"

namespace vg::platform {

// No service manager hands a socket to a Windows program: there is nobody to tell.
int openNotifier(Notifier& n) {
    n = Notifier{};
    return 0;
}

int notify(const Notifier&, const char*, std::size_t) {
    return 0;
}

void closeNotifier(Notifier& n) {
    n = Notifier{};
}

}  // namespace vg::platform
