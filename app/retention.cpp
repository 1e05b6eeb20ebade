#include "app/retention.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/console.h"
#include "platform/file.h"

namespace vg::app {

namespace {

struct FoundSet {
    SetKey key;
    std::vector<std::filesystem::path> files;
    std::filesystem::path samplesLog;  // names the set in messages
    bool samples = false;
    bool misc = false;
};

std::vector<FoundSet> listSets(const std::filesystem::path& folder) {
    std::vector<FoundSet> sets;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        SetKey key;
        SetFile kind{};
        std::error_code typeError;
        if (!parseSetFileName(utf8OfPath(it->path().filename()), key, kind) ||
            !it->is_regular_file(typeError) || it->is_symlink(typeError)) {
            continue;
        }
        auto set =
            std::find_if(sets.begin(), sets.end(), [&](const FoundSet& s) { return s.key == key; });
        if (set == sets.end()) {
            set = sets.insert(sets.end(), FoundSet{key, {}, {}, false, false});
        }
        set->files.push_back(it->path());
        if (kind == SetFile::Samples) {
            set->samples = true;
            set->samplesLog = it->path();
        }
        set->misc = set->misc || kind == SetFile::Misc;
    }
    return sets;
}

}  // namespace

std::uint64_t pruneSets(const char* dir, const SetKey& current, std::size_t keep) {
    const std::filesystem::path folder = dir != nullptr && dir[0] != '\0' ? pathOfUtf8(dir) : ".";
    std::vector<FoundSet> sets = listSets(folder);
    // A set missing a log is not one of ours as written, or not whole: it is left alone.
    std::erase_if(sets, [](const FoundSet& s) { return !s.samples || !s.misc; });
    std::vector<SetKey> keys;
    for (const FoundSet& s : sets) {
        keys.push_back(s.key);
    }
    std::uint64_t deleted = 0;
    for (const std::size_t i : chooseSetsToDelete(keys, current, keep)) {
        for (const std::filesystem::path& file : sets[i].files) {
            platform::removeFile(utf8OfPath(file).c_str());
        }
        platform::consolePrint(platform::ConsoleStream::Err,
                               "vglog: --keep %llu: deleted the set of %s (%llu files)\n",
                               static_cast<unsigned long long>(keep),
                               utf8OfPath(sets[i].samplesLog).c_str(),
                               static_cast<unsigned long long>(sets[i].files.size()));
        ++deleted;
    }
    return deleted;
}

}  // namespace vg::app
