#include "formats/private_stream.h"

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/scratch_file.h"

namespace {

using namespace testsupport;

TEST(PrivateStream, ReadsThroughADuplicateAndPutsThePositionBack) {
    const Bytes contents = Pattern(5000);
    ScratchFile file(contents);
    ASSERT_EQ(platform::Seek(file.descriptor(), 42, SEEK_SET), 42);
    {
        ZipCentralDirectory::PrivateStream stream(file.descriptor());
        ASSERT_TRUE(stream.is_open());
        EXPECT_EQ(stream.size(), 5000u);
        unsigned char bytes[4];
        ASSERT_TRUE(ZipCentralDirectory::ReadExactly(stream.stream(), 4990, bytes, 4));
        EXPECT_TRUE(Bytes(bytes, bytes + 4) == Bytes(contents.begin() + 4990, contents.begin() + 4994));
        EXPECT_FALSE(ZipCentralDirectory::ReadExactly(stream.stream(), 4997, bytes, 4));
    }
    EXPECT_EQ(platform::Seek(file.descriptor(), 0, SEEK_CUR), 42);
    // The caller's descriptor is still open and usable.
    unsigned char byte = 0;
    EXPECT_EQ(platform::ReadSome(file.descriptor(), &byte, 1), 1);
    EXPECT_EQ(byte, contents[42]);
}

TEST(PrivateStream, NegativeDescriptorIsNotOpen) {
    ZipCentralDirectory::PrivateStream stream(-1);
    EXPECT_FALSE(stream.is_open());
}

}  // namespace
