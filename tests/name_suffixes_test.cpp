#include "mount/name_suffixes.h"

#include <gtest/gtest.h>

namespace {

TEST(HasArchiveExtension, RecognisesTheArchiveSuffixesInAnyCase) {
    const std::pair<const char*, bool> cases[] = {
        {"GAME.ZIP", true},      {"x.Tar.Gz", true},   {".7z", true},         {"a.rar", true},
        {"a.tar", true},         {"a.TGZ", true},      {"a.tar.xz", true},    {"a.txz", true},
        {"a.tar.zst", true},     {"a.tzst", true},     {"a.tar.bz2", true},   {"a.tbz2", true},
        {"a.tar.lzma", true},    {"dir/in.zip", true}, {"x.gz", false},       {"x.tar.lz", false},
        {"zip", false},          {"", false},          {"a.zip.txt", false},  {"a.zi\xD0\xA0", false},
        {"a.lzma", false},       {"a.7Z", true},
    };
    for (const auto& [name, expected] : cases) EXPECT_EQ(ArchiveMount::HasArchiveExtension(name), expected) << name;
}

TEST(IsCompressedImageName, NeedsImageExtensionThenCompressionSuffix) {
    const std::pair<const char*, bool> cases[] = {
        {"disk.img.gz", true},       {"dir/FLOPPY.1440.XZ", true}, {"a.iso.zst", true},
        {"d\\x.vhd.bz2", true},      {"x.ima.gz", true},           {"x.dsk.xz", true},
        {"x.bin.gz", true},          {"x.flp.gz", true},           {"x.vfd.gz", true},
        {"x.360.gz", true},          {"x.720.gz", true},           {"x.1200.gz", true},
        {".img.gz", false},          {"dir/.img.gz", false},       {"disk.gz", false},
        {"disk.img", false},         {"disk.img.lzma", false},     {"disk.img.gz/x", false},
        {"disk.tar.gz", false},      {"diskimg.gz", false},        {"a.img.gz.bak", false},
        {"", false},
    };
    for (const auto& [path, expected] : cases) EXPECT_EQ(ArchiveMount::IsCompressedImageName(path), expected) << path;
}

}  // namespace
