#include "client/index_listing.h"

#include <gtest/gtest.h>

#include "support/host.h"

namespace {

using ArchiveHelper::IndexSummary;
using ArchiveMount::Entry;

class IndexListing : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::UseUtcAsLocalTime();
        index.kind = ArchiveMount::ArchiveKind::SevenZip;
        index.declared_total = 1234;
        index.archive_size = 999;
        index.fingerprint = std::string(64, 'a');
        index.identity = {1000, 1700000000};
        Entry dir;
        dir.ordinal = -1;
        dir.path = "games";
        dir.dos_path = "GAMES";
        dir.is_dir = true;
        dir.mtime = 0;
        Entry file;
        file.ordinal = 12;
        file.path = "games/a \"b\"\\c\x01\xC3\xA9.txt";
        file.dos_path = "GAMES\\AB_C_~1.TXT";
        file.size = 1234;
        file.mtime = 1700000000;
        file.has_crc = true;
        file.crc = 0x00ABCDEF;
        file.nested_zip_offset = 77;
        index.entries = {dir, file};
    }

    IndexSummary index;
};

TEST_F(IndexListing, TableColumnsLineUpAndMarkWhatIsUnknown) {
    const std::string expected =
        "ORDINAL  DOS PATH            SIZE  TIME                 CRC       PATH\n"
        "      -  GAMES              <DIR>  1970-01-01 00:00:00  -         games\n"
        "     12  GAMES\\AB_C_~1.TXT   1234  2023-11-14 22:13:20  00abcdef  games/a \"b\"\\c\x01\xC3\xA9.txt\n";
    EXPECT_EQ(HelperClient::FormatIndexTable(index), expected);
}

TEST_F(IndexListing, JsonEscapesQuotesBackslashesAndControlBytes) {
    const std::string expected =
        "{\"kind\":\"7z\",\"declared_total\":1234,\"archive_size\":999,\"fingerprint\":\"" + std::string(64, 'a') +
        "\",\"identity\":{\"size\":1000,\"mtime\":1700000000},\"entries\":[\n"
        "{\"ordinal\":-1,\"path\":\"games\",\"dos_path\":\"GAMES\",\"is_dir\":true,\"size\":0,\"mtime\":0,"
        "\"crc\":null,\"nested_zip_offset\":null},\n"
        "{\"ordinal\":12,\"path\":\"games/a \\\"b\\\"\\\\c\\u0001\xC3\xA9.txt\",\"dos_path\":\"GAMES\\\\AB_C_~1.TXT\","
        "\"is_dir\":false,\"size\":1234,\"mtime\":1700000000,\"crc\":\"00abcdef\",\"nested_zip_offset\":77}]}\n";
    EXPECT_EQ(HelperClient::FormatIndexJson(index), expected);
    index.entries.clear();
    EXPECT_NE(HelperClient::FormatIndexJson(index).find("\"entries\":[]}"), std::string::npos);
}

TEST_F(IndexListing, InfoCountsFilesAndDirectories) {
    const std::string expected =
        "kind: 7z\n"
        "declared total: 1234 bytes\n"
        "archive size: 999 bytes\n"
        "fingerprint: " + std::string(64, 'a') + "\n"
        "identity: 1000 bytes, modified 2023-11-14 22:13:20\n"
        "entries: 2 (1 files, 1 directories)\n";
    EXPECT_EQ(HelperClient::FormatIndexInfo(index), expected);
}

}  // namespace
