#include "formats/file_range.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/platform.h"
#include "support/scratch_file.h"

namespace {

using namespace testsupport;
using ZipCentralDirectory::Status;

TEST(ReadFileRange, ReadsExactlyTheRangeAndRestoresThePosition) {
    const Bytes contents = Pattern(1000);
    ScratchFile file(contents);
    ASSERT_EQ(platform::Seek(file.descriptor(), 123, SEEK_SET), 123);
    struct Case {
        std::uint64_t offset;
        std::uint64_t length;
        Status expected;
    };
    for (const Case c : {Case{0, 1000, Status::Ok}, Case{990, 10, Status::Ok}, Case{1000, 0, Status::Ok},
                         Case{991, 10, Status::Truncated}, Case{1001, 0, Status::Truncated},
                         Case{~0ull, 1, Status::Truncated}}) {
        std::vector<unsigned char> out = {1, 2, 3};
        EXPECT_EQ(ReadFileRange(file.descriptor(), c.offset, c.length, out), c.expected) << c.offset;
        if (c.expected == Status::Ok) {
            EXPECT_TRUE(out == Bytes(contents.begin() + c.offset, contents.begin() + c.offset + c.length));
        } else {
            EXPECT_TRUE(out.empty());
        }
        EXPECT_EQ(platform::Seek(file.descriptor(), 0, SEEK_CUR), 123);
    }
}

TEST(ReadFileRange, LengthOverTheCapFailsBeforeTouchingTheFile) {
    ScratchFile file(Pattern(16));
    std::filesystem::resize_file(file.path(), ZipCentralDirectory::kMaxRangeBytes + 10);
    std::vector<unsigned char> out;
    EXPECT_EQ(ReadFileRange(file.descriptor(), 0, ZipCentralDirectory::kMaxRangeBytes + 1, out), Status::ReadFailed);
    EXPECT_EQ(ReadFileRange(-1, 0, ZipCentralDirectory::kMaxRangeBytes + 1, out), Status::ReadFailed);
    EXPECT_EQ(ReadFileRange(file.descriptor(), 0, ZipCentralDirectory::kMaxRangeBytes, out), Status::Ok);
    EXPECT_EQ(out.size(), ZipCentralDirectory::kMaxRangeBytes);
}

TEST(ReadFileRange, UnusableDescriptorIsReadFailed) {
    std::vector<unsigned char> out = {1};
    EXPECT_EQ(ReadFileRange(-1, 0, 1, out), Status::ReadFailed);
    EXPECT_TRUE(out.empty());
}

}  // namespace
