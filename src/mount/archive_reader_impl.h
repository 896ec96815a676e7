// The reader's private state, filled during the open and read-only afterwards
// but for one cache.
#pragma once

#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>

#include "formats/isz_image.h"
#include "formats/zip_central_directory.h"
#include "mount/archive_index.h"
#include "mount/member_sink.h"
#include "mount/zip_member_view.h"
#include "platform/owners.h"

struct archive;

namespace ArchiveMount {

struct LibraryHandle;

struct ArchiveReader::Impl {
    Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    ~Impl();

    // Writes what `produce` yields to a temporary file beside `path`, stamps
    // entry.mtime on it and renames it onto `path`. On failure `path` is as it
    // was and no temporary file is left.
    Error write_member(const MemberProducer& produce, const Entry& entry, const std::filesystem::path& path,
                       std::string* message) const;

    // Opens `handle` on the archive and walks it to the start of the data of
    // header number `ordinal`, counting every header the library returns.
    // The literal walk: reach_member must answer exactly as this does.
    Error seek_ordinal(int ordinal, LibraryHandle& handle, std::string* message) const;

    // A library handle standing at the start of the data of header number
    // `ordinal`, reached the cheapest way: a ZIP member shown on its own, the
    // handle kept from the last request when it stands at or before the
    // ordinal, else the literal walk. Same code and message as seek_ordinal.
    Error reach_member(int ordinal, std::unique_ptr<LibraryHandle>& handle, std::string* message) const;

    // Keeps `handle`, which has just streamed header `ordinal` in full, for a
    // later request further on; a ZIP member's own handle is not worth it.
    void keep_for_later(std::unique_ptr<LibraryHandle> handle, int ordinal) const;

    // Drops whatever reach_member could have gone on from; every failed
    // request does.
    void drop_kept() const;

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
    // For a ZIP, where each member's headers lie (by ordinal) and where the
    // central directory starts: a member is reached without the ones before it.
    std::vector<ZipMemberPlace> zip_places;
    std::uint64_t zip_directory_offset = 0;

    // What changes after the open, as scratch and cache only: the member
    // files' buffer, one for every member this reader writes; the handle
    // left after the last member streamed in full and the ordinal of the
    // header it reads next.
    mutable std::unique_ptr<char[]> output_buffer;
    mutable std::unique_ptr<LibraryHandle> kept_handle;
    mutable int kept_next = 0;
};

// The only way an entry enters a reader: indexes it by ordinal and appends it
// with its fingerprint stamp. Uniqueness of paths is the caller's business; a
// later entry with an ordinal already listed takes the ordinal over.
void AddEntry(ArchiveReader::Impl& impl, Entry entry, std::uint64_t stamp);

}  // namespace ArchiveMount
