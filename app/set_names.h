// The names of the sets of files a rotated run writes: where the sets start on the clock, the
// name a set takes when its time's names are already taken, and reading those names back.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vg::app {

inline constexpr std::uint64_t kDayMs = 24ull * 60 * 60 * 1000;

// Milliseconds from a moment msOfDay into the local day until the next start of a set of
// period: periods that divide a day start on their multiples from midnight (1h at the full
// hour, 15m at :00, :15, ...), whole days at midnight; other periods start a whole period on.
std::uint64_t msToSetBoundary(std::uint64_t msOfDay, std::uint64_t periodMs);

// The take that names a set: 0 (the plain time) when its names are free, else the first of
// 2, 3, ... kMaxTake whose names are; kNoTake when every one is taken.
inline constexpr unsigned kMaxTake = 99;
inline constexpr unsigned kNoTake = ~0u;
unsigned chooseTake(bool (*taken)(void* context, unsigned take), void* context);

// File names are UTF-8 everywhere in the program: a path from one, and back.
std::filesystem::path pathOfUtf8(const char* name);
std::string utf8OfPath(const std::filesystem::path& path);

// A set's stamp as its names carry it, ordered by time and then by take.
struct SetKey {
    int year = 0;
    int month = 0;  // 0 to 11
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    unsigned take = 0;
    auto operator<=>(const SetKey&) const = default;
};

SetKey setKeyOf(const std::tm& local, unsigned take);

// The kinds of file of a set, as named: "anglesAndAccels.<stamp>.txt", "misc.<stamp>.txt",
// "raw.<stamp>.bin", "raw.<stamp>.bin.times", "times.<stamp>.csv".
enum class SetFile { Samples, Misc, Capture, CaptureTimes, Times };

// Reads a file name as this program names a set's files; false for any other name.
bool parseSetFileName(std::string_view name, SetKey& key, SetFile& kind);

// Which sets go so that keep sets remain, the current one among them: the oldest first, never
// the current one. Indexes into sets (each set once), in the order to delete.
std::vector<std::size_t> chooseSetsToDelete(const std::vector<SetKey>& sets, const SetKey& current,
                                            std::size_t keep);

}  // namespace vg::app
