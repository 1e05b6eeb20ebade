#include "app/set_names.h"

#include <algorithm>
#include <cstring>

namespace vg::app {

namespace {

constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
    if (at + count > text.size()) {
        return false;
    }
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// "YYYYMonDD-HHMMSS" and an optional "-N" (N from 2), the whole of stamp.
bool parseStamp(std::string_view stamp, SetKey& key) {
    int time = 0;
    if (stamp.size() < 16 || !digits(stamp, 0, 4, key.year) || !digits(stamp, 7, 2, key.day) ||
        stamp[9] != '-' || !digits(stamp, 10, 6, time)) {
        return false;
    }
    const auto month = std::find_if(std::begin(kMonths), std::end(kMonths),
                                    [&](const char* m) { return stamp.substr(4, 3) == m; });
    if (month == std::end(kMonths)) {
        return false;
    }
    key.month = static_cast<int>(month - std::begin(kMonths));
    key.hour = time / 10000;
    key.minute = time / 100 % 100;
    key.second = time % 100;
    key.take = 0;
    if (stamp.size() == 16) {
        return true;
    }
    int take = 0;
    const std::size_t width = stamp.size() - 17;
    if (stamp[16] != '-' || width == 0 || width > 2 || stamp[17] == '0' ||
        !digits(stamp, 17, width, take) || take < 2) {
        return false;
    }
    key.take = static_cast<unsigned>(take);
    return true;
}

}  // namespace

std::filesystem::path pathOfUtf8(const char* name) {
    const auto* bytes = reinterpret_cast<const char8_t*>(name);
    return std::filesystem::path(std::u8string(bytes, bytes + std::strlen(name)));
}

std::string utf8OfPath(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::uint64_t msToSetBoundary(std::uint64_t msOfDay, std::uint64_t periodMs) {
    if (periodMs == 0) {
        return 0;
    }
    if (kDayMs % periodMs == 0) {
        return periodMs - msOfDay % periodMs;
    }
    if (periodMs % kDayMs == 0) {
        return kDayMs - msOfDay % kDayMs;
    }
    return periodMs;
}

unsigned chooseTake(bool (*taken)(void* context, unsigned take), void* context) {
    if (!taken(context, 0)) {
        return 0;
    }
    for (unsigned take = 2; take <= kMaxTake; ++take) {
        if (!taken(context, take)) {
            return take;
        }
    }
    return kNoTake;
}

SetKey setKeyOf(const std::tm& local, unsigned take) {
    return SetKey{local.tm_year + 1900, local.tm_mon, local.tm_mday, local.tm_hour,
                  local.tm_min,         local.tm_sec, take};
}

bool parseSetFileName(std::string_view name, SetKey& key, SetFile& kind) {
    struct Form {
        const char* prefix;
        const char* ending;
        SetFile kind;
    };
    static constexpr Form kForms[] = {
        {"anglesAndAccels.", ".txt", SetFile::Samples},
        {"misc.", ".txt", SetFile::Misc},
        {"raw.", ".bin.times", SetFile::CaptureTimes},
        {"raw.", ".bin", SetFile::Capture},
        {"times.", ".csv", SetFile::Times},
    };
    for (const Form& form : kForms) {
        const std::size_t head = std::strlen(form.prefix);
        const std::size_t tail = std::strlen(form.ending);
        if (name.size() > head + tail && name.substr(0, head) == form.prefix &&
            name.substr(name.size() - tail) == form.ending &&
            parseStamp(name.substr(head, name.size() - head - tail), key)) {
            kind = form.kind;
            return true;
        }
    }
    return false;
}

std::vector<std::size_t> chooseSetsToDelete(const std::vector<SetKey>& sets, const SetKey& current,
                                            std::size_t keep) {
    std::vector<std::size_t> older;
    for (std::size_t i = 0; i < sets.size(); ++i) {
        if (!(sets[i] == current)) {
            older.push_back(i);
        }
    }
    std::sort(older.begin(), older.end(),
              [&](std::size_t a, std::size_t b) { return sets[a] < sets[b]; });
    // The current set always stays, so it counts among those kept.
    const std::size_t others = keep > 0 ? keep - 1 : 0;
    if (older.size() <= others) {
        return {};
    }
    older.resize(older.size() - others);
    return older;
}

}  // namespace vg::app
