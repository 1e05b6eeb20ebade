// Tests that create files do so in a fresh directory of their own, which they work in and
// remove afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace vg::testutil {

struct ScratchDir {
    std::filesystem::path home = std::filesystem::current_path();
    std::filesystem::path dir;

    ScratchDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "vglog-XXXXXX").string();
        EXPECT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
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
