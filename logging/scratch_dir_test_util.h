// Tests that create files do so in a fresh directory of their own, which they work in and
// remove afterwards.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace vg::testutil {

struct ScratchDir {
    std::filesystem::path home = std::filesystem::current_path();
    std::filesystem::path dir;

    ScratchDir() {
        // A fresh name that nobody else holds: create_directory fails on an existing one.
        std::random_device seed;
        for (int tries = 0; tries < 100; ++tries) {
            const auto candidate = std::filesystem::temp_directory_path() /
                                   ("vglog-" + std::to_string(seed()) + std::to_string(seed()));
            if (std::filesystem::create_directory(candidate)) {
                dir = candidate;
                break;
            }
        }
        EXPECT_FALSE(dir.empty());
        std::filesystem::current_path(dir);
    }
    ~ScratchDir() {
        std::filesystem::current_path(home);
        std::filesystem::remove_all(dir);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
};

inline std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace vg::testutil
