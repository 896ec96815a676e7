// One archive of every served kind opened through the real helper binary: by
// path, by a passed descriptor and through a window onto a stored inner ZIP.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "client/request_encoding.h"
#include "support/archive_builder.h"
#include "support/byte_image.h"
#include "support/helper_session.h"
#include "support/isz_image_writer.h"
#include "support/rar5_image.h"
#include "support/temp_dir.h"
#include "support/zip_image_writer.h"

namespace {

using ArchiveHelper::MessageType;
using ArchiveHelper::OpenRequest;
using ArchiveMount::ArchiveKind;
using HelperClient::EncodeOpenRequest;
using testsupport::BuildArchive;
using testsupport::Compression;
using testsupport::Container;
using testsupport::kReplyTimeout;

std::string Text(const testsupport::Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

std::vector<std::string> Paths(const ArchiveHelper::IndexSummary& index) {
    std::vector<std::string> paths;
    for (const auto& entry : index.entries) paths.push_back(entry.path);
    return paths;
}

std::optional<ArchiveHelper::IndexSummary> Open(HelperClient::HelperProcess& helper, const OpenRequest& request) {
    EXPECT_TRUE(helper.SendRequest(MessageType::OpenRequest, EncodeOpenRequest(request)));
    return helper.ReadIndex(kReplyTimeout);
}

TEST(OpenSequenceProcess, EveryServedKindIndexesByPath) {
    testsupport::TempDir dir;
    const std::vector<testsupport::Member> members = {{"a.txt", "alpha"}};
    testsupport::IszImageWriter isz;
    isz.Raw(testsupport::Pattern(2048));
    struct Case {
        const char* file;
        std::string bytes;
        ArchiveKind kind;
        std::vector<std::string> paths;
        std::string content;  // of the first member
    };
    const Case cases[] = {
        {"a.zip", BuildArchive(Container::ZipDeflate, members), ArchiveKind::Zip, {"a.txt"}, "alpha"},
        {"a.7z", BuildArchive(Container::SevenZip, members), ArchiveKind::SevenZip, {"a.txt"}, "alpha"},
        {"a.tar.xz", BuildArchive(Container::Pax, members, Compression::Xz), ArchiveKind::Tar, {"a.txt"}, "alpha"},
        {"a.iso", BuildArchive(Container::Iso9660, members), ArchiveKind::Iso9660, {"a.txt"}, "alpha"},
        {"disk.img.gz", testsupport::Compress(Compression::Gzip, "image"), ArchiveKind::Raw, {"disk.img"}, "image"},
        {"a.rar", testsupport::BuildRar5({{"a.txt", "alpha"}}), ArchiveKind::Rar5, {"a.txt"}, "alpha"},
        {"disk.isz", Text(isz.Build()), ArchiveKind::Isz, {"disk.iso"}, Text(testsupport::Pattern(2048))},
    };
    auto helper = testsupport::StartHelper();
    ASSERT_NE(helper, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const auto index = Open(*helper, testsupport::OpenByPath(dir.WriteFile(c.file, c.bytes).string()));
        ASSERT_TRUE(index);
        EXPECT_EQ(index->kind, c.kind);
        EXPECT_EQ(Paths(*index), c.paths);
        EXPECT_EQ(index->fingerprint.size(), 64u);
        // The index it answered is the one the members are read back by.
        const auto out = dir.path() / (std::string(c.file) + ".out");
        ASSERT_TRUE(helper->SendRequest(MessageType::MaterializeRequest,
                                        HelperClient::EncodeMaterializeRequest(
                                            static_cast<std::uint32_t>(index->entries[0].ordinal), out.string())));
        const auto written = helper->ReadStatus(kReplyTimeout);
        ASSERT_TRUE(written);
        EXPECT_EQ(written->code, ArchiveMount::Error::Ok) << written->message;
        std::ifstream stream(out, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stream), {}), c.content);
    }
    const auto rar4 = Open(*helper, testsupport::OpenByPath(OMBREX_FIXTURES_DIR "/libarchive/rar4-compressed.rar"));
    ASSERT_TRUE(rar4);
    EXPECT_EQ(rar4->kind, ArchiveKind::Rar);
    EXPECT_FALSE(rar4->entries.empty());

    // A refusal answers with its code and message.
    OpenRequest refused = testsupport::OpenByPath(dir.WriteFile("v.rar", testsupport::BuildRar5({}, 1)).string());
    ASSERT_TRUE(helper->SendRequest(MessageType::OpenRequest, EncodeOpenRequest(refused)));
    const auto status = helper->ReadStatus(kReplyTimeout);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, ArchiveMount::Error::MultiVolume);
    EXPECT_EQ(status->message, "RAR5 volume flag set");
    helper->CloseInput();
    EXPECT_TRUE(helper->Wait(kReplyTimeout));
}

TEST(OpenSequenceProcess, APassedDescriptorAndAWindowOntoAStoredInnerZip) {
    testsupport::TempDir dir;
    const std::string inner = BuildArchive(Container::ZipStored, {{"deep/x.txt", "inner"}});
    testsupport::ZipImageWriter writer;
    writer.Add(testsupport::StoredEntry("inner.zip", testsupport::Bytes(inner.begin(), inner.end())));
    const auto file = dir.WriteFile("outer.zip", Text(writer.Build()));

    std::int64_t inner_at = -1;
    for (const bool window : {false, true}) {
        SCOPED_TRACE(window ? "window" : "descriptor");
        auto [helper, handle] = testsupport::StartHelperWithArchiveHandle(file);
        ASSERT_NE(helper, nullptr);
        OpenRequest request = testsupport::OpenByPath(file.string());
        request.os_handle = handle;
        if (window) {
            request.window_offset = inner_at;
            request.window_length = static_cast<std::int64_t>(inner.size());
        }
        const auto index = Open(*helper, request);
        ASSERT_TRUE(index);
        if (!window) {
            EXPECT_EQ(Paths(*index), std::vector<std::string>{"inner.zip"});
            inner_at = index->entries[0].nested_zip_offset;
            EXPECT_EQ(inner_at, 30 + 9);
        } else {
            EXPECT_EQ(Paths(*index), (std::vector<std::string>{"deep", "deep/x.txt"}));
            EXPECT_EQ(index->archive_size, inner.size());
            const auto out = dir.path() / "x.out";
            ASSERT_TRUE(helper->SendRequest(
                MessageType::MaterializeRequest,
                HelperClient::EncodeMaterializeRequest(static_cast<std::uint32_t>(index->entries[1].ordinal),
                                                       out.string())));
            const auto written = helper->ReadStatus(kReplyTimeout);
            ASSERT_TRUE(written);
            EXPECT_EQ(written->code, ArchiveMount::Error::Ok) << written->message;
            std::ifstream stream(out, std::ios::binary);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(stream), {}), "inner");
        }
        helper->CloseInput();
        EXPECT_TRUE(helper->Wait(kReplyTimeout));
    }
}

}  // namespace
