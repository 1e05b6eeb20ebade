#include "logging/output_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "logging/scratch_dir_test_util.h"

namespace vg::logging {
namespace {

namespace fs = std::filesystem;
using testutil::readFile;

struct OutputFileTest : ::testing::Test {
    testutil::ScratchDir scratch;
    OutputFile file;

    void TearDown() override { closeOutputFile(file); }
    void append(const std::string& text) {
        ASSERT_TRUE(appendToFile(file, text.data(), text.size()));
    }
};

#ifndef _WIN32  // an open file cannot be deleted or moved there, and paths stop at 260
TEST_F(OutputFileTest, ADeletedFileIsPutBackWholeAndAMovedOneIsFollowed) {
    ASSERT_EQ(createOutputFile(file, "log.txt", "log file", true), 0);
    // More than one check copies back: the put-back takes two, logging going on in between.
    const std::string big(kRestoreSliceBytes + 100, 'x');
    append(big + "\r\n");
    ASSERT_TRUE(flushOutputFile(file));
    append("two\r\n");  // still buffered when the file goes

    fs::remove("log.txt");
    EXPECT_EQ(checkOutputFile(file), FileCheck::PutBack);
    EXPECT_EQ(fs::file_size("log.txt"), kRestoreSliceBytes);
    append("three\r\n");
    ASSERT_TRUE(flushOutputFile(file));
    EXPECT_EQ(checkOutputFile(file), FileCheck::PutBack);
    EXPECT_EQ(readFile("log.txt"), big + "\r\ntwo\r\nthree\r\n");
    EXPECT_EQ(checkOutputFile(file), FileCheck::Here);

    fs::create_directory("elsewhere");
    fs::rename("log.txt", "elsewhere/moved.txt");
    EXPECT_EQ(checkOutputFile(file), FileCheck::Moved);
#ifdef __linux__
    EXPECT_EQ(fs::path(file.movedTo.data()), fs::canonical("elsewhere/moved.txt"));
#endif
    append("four\r\n");
    EXPECT_EQ(closeOutputFile(file), 0);
    EXPECT_EQ(readFile("elsewhere/moved.txt"), big + "\r\ntwo\r\nthree\r\nfour\r\n");
    EXPECT_EQ(file.heldLines, 4u);
}

TEST_F(OutputFileTest, ADeletedFileWhoseNameIsTakenIsLostAndTakesNothingMore) {
    ASSERT_EQ(createOutputFile(file, "capture.bin", "raw capture file", false), 0);
    append("bytes");
    fs::remove("capture.bin");
    std::ofstream("capture.bin") << "someone else's";
    EXPECT_EQ(checkOutputFile(file), FileCheck::Lost);
    EXPECT_TRUE(file.failed && file.lost);
    EXPECT_FALSE(appendToFile(file, "more", 4));
    EXPECT_EQ(closeOutputFile(file), -1);
    EXPECT_EQ(readFile("capture.bin"), "someone else's");
}

TEST_F(OutputFileTest, NamesAsLongAsTheSystemTakesAndNoLonger) {
    const std::string dir(200, 'd');
    fs::create_directory(dir);
    const std::string longName = dir + "/" + std::string(200, 'n') + ".bin";
    EXPECT_EQ(createOutputFile(file, longName.c_str(), "raw capture file", false), 0);
    EXPECT_EQ(closeOutputFile(file), 0);
    EXPECT_TRUE(fs::exists(longName));
    const std::string tooLong(kPathBytes, 'x');
    EXPECT_EQ(createOutputFile(file, tooLong.c_str(), "raw capture file", false), ENAMETOOLONG);
    EXPECT_EQ(createOutputFile(file, longName.c_str(), "raw capture file", false), EEXIST);
}
#endif

TEST(EscapeNameTest, ControlCharactersAreEscapedTheRestKept) {
    const struct {
        const char* in;
        const char* out;
        std::size_t size = 64;
    } cases[] = {
        {"raw.bin", "raw.bin"},
        {"a\nb\r\tc", "a\\nb\\r\\tc"},
        {"\x01\x7f\xc3\xbc", "\\x01\\x7F\xc3\xbc"},  // UTF-8 stays as it is
        {"ab\ncd", "ab", 4},                         // cut at a whole escape, terminated
    };
    for (const auto& c : cases) {
        char out[64];
        escapeName(out, c.size, c.in);
        EXPECT_STREQ(out, c.out);
    }
}

}  // namespace
}  // namespace vg::logging
