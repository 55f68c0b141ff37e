#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture/file_sink.h"
#include "support/temp_dir.h"
#include "support/test_blocks.h"

namespace corvanlet {

struct FileSinkTestAccess {
    static void SetBytesWritten(FileSink& sink, std::uint64_t value) {
        sink.bytesWritten.store(value);
    }
};

namespace {

namespace fs = std::filesystem;
using testing::MakeBlock;

class FileSinkTest : public ::testing::Test {
  protected:
    std::string PathOf(const char* name) const { return dir_.File(name); }
    static std::vector<std::uint8_t> ReadAll(const std::string& path) {
        return testing::ReadFileBytes(path);
    }

    testing::TempDir dir_;
};

// Pushes `count` blocks of sizes cycling through 1..1000 and returns the bytes
// the file must hold.
std::vector<std::uint8_t> PushBlocks(FileSink& sink, std::uint32_t count, std::uint32_t seed) {
    std::vector<std::uint8_t> expected;
    std::uint8_t block[1000];
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto length = static_cast<std::int32_t>((i * 389u + seed) % 1000u + 1);
        MakeBlock(seed + i, length, block);
        while (!sink.Push(block, length, 0)) {
        }
        expected.insert(expected.end(), block, block + length);
    }
    return expected;
}

TEST_F(FileSinkTest, FileHoldsEveryBlockInOrderAndReplacesOldContent) {
    const std::string path = PathOf("out.dat");
    { std::ofstream(path, std::ios::binary) << std::string(50000, 'x'); }
    FileSink sink;
    ASSERT_TRUE(sink.OpenFile(path.c_str()));
    EXPECT_TRUE(sink.IsOpen());
    const auto expected = PushBlocks(sink, 3000, 1);
    EXPECT_TRUE(sink.CloseFile());  // every accepted block is written before the close
    EXPECT_FALSE(sink.IsOpen());
    EXPECT_EQ(sink.BytesWritten(), expected.size());
    EXPECT_EQ(sink.FailedWrites(), 0u);
    EXPECT_EQ(ReadAll(path), expected);
    EXPECT_TRUE(sink.CloseFile());                    // idle: no effect
    EXPECT_EQ(sink.BytesWritten(), expected.size());  // kept until the next open
}

TEST_F(FileSinkTest, OpenWhileOpenFinishesTheFirstFile) {
    const std::string first = PathOf("first.dat");
    const std::string second = PathOf("second.dat");
    FileSink sink;
    ASSERT_TRUE(sink.OpenFile(first.c_str()));
    const auto expectedFirst = PushBlocks(sink, 500, 11);
    ASSERT_TRUE(sink.OpenFile(second.c_str()));
    EXPECT_EQ(sink.BytesWritten(), 0u);
    const auto expectedSecond = PushBlocks(sink, 500, 22);
    sink.CloseFile();
    EXPECT_EQ(ReadAll(first), expectedFirst);
    EXPECT_EQ(ReadAll(second), expectedSecond);
}

TEST_F(FileSinkTest, FileThatCannotBeCreatedLeavesTheSinkIdle) {
    FileSink sink;
    const std::string path = PathOf("missing-dir/out.dat");
    EXPECT_FALSE(sink.OpenFile(path.c_str()));
    EXPECT_FALSE(sink.IsOpen());
    EXPECT_FALSE(sink.OpenFile(nullptr));
    std::uint8_t block[8] = {};
    EXPECT_TRUE(sink.Push(block, 8, 0));  // nothing open: ignored
    EXPECT_EQ(sink.BytesWritten(), 0u);
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(FileSinkTest, RingThatCannotStartClosesTheFileAndFails) {
    FileSink sink(100);  // too small for two records of 1000 bytes
    const std::string path = PathOf("out.dat");
    EXPECT_FALSE(sink.OpenFile(path.c_str()));
    EXPECT_FALSE(sink.IsOpen());
    // The file handle is closed: the file can be removed.
    std::error_code error;
    fs::remove(path, error);
    EXPECT_FALSE(error) << error.message();
}

TEST_F(FileSinkTest, FailingWritesAreCountedAndTheRecordingGoesOn) {
#ifdef _WIN32
    const char* full = "Z:\\dev\\full";
#else
    const char* full = "/dev/full";
#endif
    FileSink sink;
    if (!sink.OpenFile(full)) GTEST_SKIP() << "no " << full << " here";
    PushBlocks(sink, 50, 3);
    sink.CloseFile();
    EXPECT_EQ(sink.BytesWritten(), 0u);
    EXPECT_GT(sink.FailedWrites(), 0u);

    const std::string path = PathOf("after.dat");
    ASSERT_TRUE(sink.OpenFile(path.c_str()));
    const auto expected = PushBlocks(sink, 50, 4);
    sink.CloseFile();
    EXPECT_EQ(sink.FailedWrites(), 0u);
    EXPECT_EQ(ReadAll(path), expected);
}

TEST_F(FileSinkTest, ByteCounterPassesFourGiB) {
    const std::string path = PathOf("big.dat");
    FileSink sink;
    ASSERT_TRUE(sink.OpenFile(path.c_str()));
    // Stand in for 4 GiB already written; then real writes carry it over.
    FileSinkTestAccess::SetBytesWritten(sink, 0xFFFFFF00ull);
    std::uint8_t block[1000] = {};
    ASSERT_TRUE(sink.Push(block, 1000, 0));
    ASSERT_TRUE(sink.Push(block, 1000, 0));
    sink.CloseFile();
    EXPECT_EQ(sink.BytesWritten(), 0xFFFFFF00ull + 2000);
}

}  // namespace
}  // namespace corvanlet
