#include "support/archive_builder.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

namespace testsupport {

namespace {

la_ssize_t Append(struct archive*, void* data, const void* bytes, size_t count) {
    static_cast<std::string*>(data)->append(static_cast<const char*>(bytes), count);
    return static_cast<la_ssize_t>(count);
}

int SetContainer(struct archive* a, Container container) {
    switch (container) {
        case Container::ZipStored:
            return archive_write_set_format_zip(a) ||
                   archive_write_set_format_option(a, "zip", "compression", "store");
        case Container::ZipDeflate:
            return archive_write_set_format_zip(a) ||
                   archive_write_set_format_option(a, "zip", "compression", "deflate");
        case Container::SevenZip: return archive_write_set_format_7zip(a);
        case Container::SevenZipStored:
            return archive_write_set_format_7zip(a) ||
                   archive_write_set_format_option(a, "7zip", "compression", "store");
        case Container::Ustar: return archive_write_set_format_ustar(a);
        case Container::Pax: return archive_write_set_format_pax(a);
        case Container::Iso9660: return archive_write_set_format_iso9660(a);
        case Container::Raw: return archive_write_set_format_raw(a);
    }
    return ARCHIVE_FATAL;
}

int AddCompression(struct archive* a, Compression compression) {
    switch (compression) {
        case Compression::None: return ARCHIVE_OK;
        case Compression::Gzip: return archive_write_add_filter_gzip(a);
        case Compression::Bzip2: return archive_write_add_filter_bzip2(a);
        case Compression::Xz: return archive_write_add_filter_xz(a);
        case Compression::Lzma: return archive_write_add_filter_lzma(a);
        case Compression::Zstd: return archive_write_add_filter_zstd(a);
    }
    return ARCHIVE_FATAL;
}

}  // namespace

std::string BuildArchive(Container container, const std::vector<Member>& members, Compression compression) {
    std::string out;
    struct archive* a = archive_write_new();
    EXPECT_EQ(SetContainer(a, container), ARCHIVE_OK) << archive_error_string(a);
    EXPECT_EQ(AddCompression(a, compression), ARCHIVE_OK) << archive_error_string(a);
    // No padding of the last block: raw data must stay exactly the member.
    archive_write_set_bytes_in_last_block(a, 1);
    EXPECT_EQ(archive_write_open(a, &out, nullptr, Append, nullptr), ARCHIVE_OK) << archive_error_string(a);
    for (const Member& member : members) {
        struct archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname_utf8(entry, member.name.c_str());
        archive_entry_set_filetype(entry, member.is_dir ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry, member.is_dir ? 0755 : 0644);
        archive_entry_set_size(entry, member.is_dir ? 0 : static_cast<la_int64_t>(member.bytes.size()));
        archive_entry_set_mtime(entry, member.mtime, 0);
        for (const auto& [offset, length] : member.extents) archive_entry_sparse_add_entry(entry, offset, length);
        EXPECT_EQ(archive_write_header(a, entry), ARCHIVE_OK) << member.name << ": " << archive_error_string(a);
        if (!member.is_dir && !member.bytes.empty()) {
            EXPECT_EQ(archive_write_data(a, member.bytes.data(), member.bytes.size()),
                      static_cast<la_ssize_t>(member.bytes.size()))
                << member.name << ": " << archive_error_string(a);
        }
        archive_entry_free(entry);
    }
    EXPECT_EQ(archive_write_close(a), ARCHIVE_OK) << archive_error_string(a);
    archive_write_free(a);
    return out;
}

std::string Compress(Compression compression, const std::string& data) {
    if (compression == Compression::None) return data;
    return BuildArchive(Container::Raw, {Member{"data", data}}, compression);
}

}  // namespace testsupport
