// The reader's private state, filled during the open and read-only afterwards.
#pragma once

#include <optional>
#include <unordered_map>
#include <utility>

#include "formats/isz_image.h"
#include "formats/zip_central_directory.h"
#include "mount/archive_index.h"
#include "mount/member_sink.h"
#include "platform/owners.h"

struct archive;

namespace ArchiveMount {

struct LibraryHandle;

struct ArchiveReader::Impl {
    Impl() = default;
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    ~Impl() = default;

    // Writes what `produce` yields to a temporary file beside `path`, stamps
    // entry.mtime on it and renames it onto `path`. On failure `path` is as it
    // was and no temporary file is left.
    Error write_member(const MemberProducer& produce, const Entry& entry, const std::filesystem::path& path,
                       std::string* message) const;

    // Opens `handle` on the archive and walks it to the start of the data of
    // header number `ordinal`, counting every header the library returns.
    Error seek_ordinal(int ordinal, LibraryHandle& handle, std::string* message) const;

    // Streams the data of the member at which `archive` stands into `sink` and
    // enforces entry.size exactly: no byte past it ever reaches the sink.
    Error stream_member(struct archive* archive, const Entry& entry, const MemberSink& sink,
                        std::string* message) const;

    // Decodes a shrunk or imploded ZIP member straight from `descriptor` into
    // `sink` and checks its CRC-32 against the record; the descriptor's file
    // position is left as it was.
    Error read_legacy(const ZipCentralDirectory::Record& record, const Entry& entry, const MemberSink& sink,
                      std::string* message) const;

    platform::Descriptor descriptor;  // the reader's own duplicate
    std::filesystem::path archive_path;
    DetectedFormat detected_format = DetectedFormat::Unknown;
    OpenLimits limits;
    ArchiveKind kind = ArchiveKind::Zip;
    int kind_flag = 1;
    ArchiveIdentity identity;
    ArchiveWindow window;
    std::uint64_t archive_size = 0;
    // The position in `entries` of the entry numbered `ordinal`, or
    // entries.size() when no entry is.
    std::size_t position_of(int ordinal) const;

    std::vector<Entry> entries;
    // (ordinal, position in `entries`) of every entry with an ordinal, by
    // ordinal: the walk appends in that order, so no per-entry node is needed.
    std::vector<std::pair<std::int32_t, std::uint32_t>> positions_by_ordinal;
    std::int64_t declared_total = 0;
    std::string fingerprint;
    std::unordered_map<std::int32_t, ZipCentralDirectory::Record> legacy_members;
    std::optional<IszImage::Index> isz_image;
    bool raw_stream = false;
    std::vector<std::uint64_t> stamps;
};

// The only way an entry enters a reader: indexes it by ordinal and appends it
// with its fingerprint stamp. Uniqueness of paths is the caller's business; a
// later entry with an ordinal already listed takes the ordinal over.
void AddEntry(ArchiveReader::Impl& impl, Entry entry, std::uint64_t stamp);

}  // namespace ArchiveMount
