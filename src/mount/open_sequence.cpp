#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "formats/file_range.h"
#include "mount/archive_sources.h"
#include "mount/format_detection.h"
#include "mount/index_assembly.h"
#include "mount/index_walk.h"
#include "mount/library_setup.h"
#include "mount/name_suffixes.h"
#include "mount/open_refusal.h"
#include "mount/rar5_main_header.h"
#include "mount/warm_start.h"
#include "platform/platform.h"

namespace ArchiveMount {

namespace {

constexpr std::size_t kProbeBytes = 512;
constexpr std::size_t kProbeBlockSize = 65536;
constexpr std::size_t kRar4MainHeaderType = 9;
constexpr std::size_t kRar4MainHeaderFlags = 10;
constexpr unsigned char kRar4MainHeader = 0x73;

// Caps are signed; a negative one admits nothing.
std::uint64_t CapOf(std::int64_t limit) { return limit < 0 ? 0 : static_cast<std::uint64_t>(limit); }

// True when the decompressed stream starts like a tar. Every failure on the
// way just means "not known to be a tar".
bool CompressedStreamHoldsTar(const ArchiveReader::Impl& reader, DetectedFormat format) {
    LibraryHandle probe;
    probe.archive = archive_read_new();
    if (probe.archive == nullptr) throw std::bad_alloc();
    archive_read_support_format_raw(probe.archive);
    AddDecoder(probe.archive, format);
    bool tar = false;
    probe.descriptor = DuplicateArchiveDescriptor(reader.descriptor.get());
    if (probe.descriptor.valid() && platform::Seek(probe.descriptor.get(), 0, SEEK_SET) == 0 &&
        archive_read_open_fd(probe.archive, probe.descriptor.get(), kProbeBlockSize) == ARCHIVE_OK) {
        struct archive_entry* entry = nullptr;
        if (archive_read_next_header(probe.archive, &entry) == ARCHIVE_OK) {
            unsigned char bytes[kProbeBytes] = {};
            std::size_t got = 0;
            while (got < kProbeBytes) {
                const la_ssize_t count = archive_read_data(probe.archive, bytes + got, kProbeBytes - got);
                if (count <= 0) break;
                got += static_cast<std::size_t>(count);
            }
            tar = DetectFormat(bytes, got) == DetectedFormat::Tar;
        }
    }
    return tar;
}

// A RAR 4 archive: the main header's refusals, then the helper's own header walk.
Error CheckRar4(const ArchiveReader::Impl& reader, const Head& head, PreWalkValues& values, std::string* message) {
    if (head.length >= 12 && head.bytes[kRar4MainHeaderType] == kRar4MainHeader) {
        const unsigned char flags = head.bytes[kRar4MainHeaderFlags];
        if (flags & 0x01) return Refuse(message, Error::MultiVolume, "RAR volume flag set");
        if (flags & 0x08) return Refuse(message, Error::SolidRar4, "RAR solid flag set");
        if (flags & 0x80) return Refuse(message, Error::PasswordProtected, "RAR header encryption flag set");
    }
    values.rar4 = Rar4Headers::Read(reader.descriptor.get(), CapOf(reader.limits.max_entries));
    switch (values.rar4.status) {
        case Rar4Headers::Status::Ok: return Error::Ok;
        case Rar4Headers::Status::TooManyFiles:
            return Refuse(message, Error::TooManyEntries, "more RAR file headers than the cap");
        default: return Refuse(message, Error::Damaged, "RAR block headers do not add up");
    }
}

// The data offset of a stored member named like an archive whose data starts
// like a ZIP, so that the parent can open it later through a window; -1 for
// any other member. Never fails the open.
std::int64_t InnerZipOffset(const ArchiveReader::Impl& reader, const ZipCentralDirectory::Record& record,
                            std::string_view name, std::vector<unsigned char>& bytes) {
    const std::uint64_t archive_size = reader.archive_size;
    const std::uint64_t base = reader.window.present ? static_cast<std::uint64_t>(reader.window.offset) : 0;
    if (record.method != 0 || record.encrypted || record.compressed_size != record.uncompressed_size) return -1;
    if (static_cast<std::int64_t>(record.data_offset) < 0 || record.data_offset > archive_size ||
        record.compressed_size > archive_size - record.data_offset)
        return -1;
    const std::size_t slash = name.find_last_of("/\\");
    if (!HasArchiveExtension(slash == std::string_view::npos ? name : name.substr(slash + 1))) return -1;
    const std::uint64_t length = std::min<std::uint64_t>(record.uncompressed_size, kProbeBytes);
    if (ReadFileRange(reader.descriptor.get(), base + record.data_offset, length, bytes) ==
            ZipCentralDirectory::Status::Ok &&
        DetectFormat(bytes.data(), bytes.size()) == DetectedFormat::Zip)
        return static_cast<std::int64_t>(record.data_offset);
    return -1;
}

// Lists an intact directory's records for the walk, in the order the library
// walks them (by local header offset, stably), and frees the records: the
// list keeps what the walk needs of them, compactly.
void ListZipMembers(ArchiveReader::Impl& reader, PreWalkValues& values) {
    std::vector<ZipCentralDirectory::Record>& records = values.directory.records;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> order;
    order.reserve(records.size());
    for (std::size_t i = 0; i < records.size(); ++i)
        order.emplace_back(records[i].local_header_offset, static_cast<std::uint32_t>(i));
    std::sort(order.begin(), order.end());
    std::vector<unsigned char> bytes;
    // Where each member's headers lie, by ordinal as the walk numbers them,
    // should the archive turn out a ZIP.
    reader.zip_places.reserve(order.size());
    reader.zip_directory_offset = values.directory.directory_offset;
    for (const auto& [offset, position] : order) {
        ZipCentralDirectory::Record& record = records[position];
        reader.zip_places.push_back({record.local_header_offset, record.central_offset, record.central_size});
        const std::string name = ZipCentralDirectory::DisplayName(record);
        values.zip_members.Add({name, record.uncompressed_size, InnerZipOffset(reader, record, name, bytes),
                                record.crc32, record.dos_time, record.method, record.encrypted});
        if (record.method == 1 || record.method == 6) values.zip_members.KeepRecord(std::move(record));
        // Each name freed as it is listed makes room for the list's own.
        std::string().swap(record.name);
    }
    std::vector<ZipCentralDirectory::Record>().swap(records);
}

// The helper's own reading of the ZIP central directory, which every format
// but ISZ gets: a ZIP must have an intact one, and anything else may turn out
// to be a ZIP behind a prefix.
Error ReadZipDirectory(ArchiveReader::Impl& reader, PreWalkValues& values, std::string* message) {
    using ZipCentralDirectory::Status;
    const std::uint64_t cap = CapOf(reader.limits.max_entries);
    const ArchiveWindow& window = reader.window;
    values.directory =
        window.present ? ZipCentralDirectory::ReadWindow(reader.descriptor.get(), static_cast<std::uint64_t>(window.offset),
                                                         static_cast<std::uint64_t>(window.length), cap)
                       : ZipCentralDirectory::Read(reader.descriptor.get(), cap);
    const Status status = values.directory.status;
    const DetectedFormat format = reader.detected_format;
    if (format == DetectedFormat::Zip && status == Status::NoEndRecord)
        return Refuse(message, Error::Damaged,
                      "zip local header without an end record: truncated, or one volume of a spanned set");
    values.zip_by_directory =
        format == DetectedFormat::Zip || (format == DetectedFormat::Unknown && status != Status::NoEndRecord);
    if (values.zip_by_directory && status == Status::Ok) {
        const Error names = CheckZipNames(values.directory.records, message);
        if (names != Error::Ok) return names;
    }
    if (values.zip_by_directory) {
        const Error directory = DirectoryMustBeOk(values.directory, message);
        if (directory != Error::Ok) return directory;
    }
    if (status == Status::Ok) ListZipMembers(reader, values);
    return Error::Ok;
}

// Everything after acquisition, in order; the first failed check's code and
// message, or Ok with the reader's index built.
Error IndexArchive(ArchiveReader::Impl& reader, std::string* message) {
    const Head head = ReadHead(reader);
    DetectedFormat format = DetectFormat(head.bytes.data(), head.length);
    if (format == DetectedFormat::Unknown && !reader.window.present && LooksLikeIso9660(reader.descriptor.get()))
        format = DetectedFormat::Iso9660;
    reader.detected_format = format;

    if (reader.window.present && format != DetectedFormat::Zip) {
        if (format == DetectedFormat::Unknown)
            return Refuse(message, Error::NotRecognized, "no zip signature at the start of the archive window");
        return Refuse(message, Error::MethodUnsupported,
                      std::string("only a zip is read through an archive window, not ") + DetectedFormatText(format));
    }

    if (!HasBuiltInDecoder(format))
        return Refuse(message, Error::MethodUnsupported,
                      std::string("no built-in ") + DetectedFormatText(format) + " decoder on this host");

    // An lzma file has no image-name rule: it is always a compressed tar.
    if (format == DetectedFormat::Gzip || format == DetectedFormat::Bzip2 || format == DetectedFormat::Xz ||
        format == DetectedFormat::Zstd) {
        if (IsCompressedImageName(platform::PathToUtf8(reader.archive_path.filename()))) {
            reader.raw_stream = true;
            if (CompressedStreamHoldsTar(reader, format))
                return Refuse(message, Error::NotRecognized,
                              "a tar under a compressed image name; a tar archive needs a .tar name");
        }
    }

    PreWalkValues values;
    if (format == DetectedFormat::Rar) {
        const Error rar4 = CheckRar4(reader, head, values, message);
        if (rar4 != Error::Ok) return rar4;
    } else if (format == DetectedFormat::Rar5) {
        const std::optional<std::uint64_t> flags = ParseRar5MainHeader(head.bytes.data(), head.length);
        if (flags && (*flags & 0x01)) return Refuse(message, Error::MultiVolume, "RAR5 volume flag set");
    } else if (format == DetectedFormat::Isz) {
        return BuildIszIndex(reader, message);
    }

    const Error directory = ReadZipDirectory(reader, values, message);
    if (directory != Error::Ok) return directory;

    LibraryHandle handle;
    std::string library_message;
    const bool zip_only = values.directory.status != ZipCentralDirectory::Status::NoEndRecord;
    switch (OpenLibraryHandle(reader.descriptor.get(), format, zip_only, reader.raw_stream, reader.window, handle,
                              &library_message)) {
        case kLibraryOpened: break;
        case kLibraryNoDescriptor: return Refuse(message, Error::OpenFailed, std::move(library_message));
        default: return Refuse(message, Error::NotRecognized, std::move(library_message));
    }

    WalkState state;
    const Error walk = WalkIndex(reader, handle.archive, values, state, message);
    if (walk != Error::Ok) return walk;
    return EndOfWalk(reader, handle.archive, state, values, message);
}

}  // namespace

void OpenArchivePath(OpenResult& out, const std::filesystem::path& path, const OpenLimits& limits) {
    const platform::Descriptor descriptor = OpenArchiveFile(path);
    if (!descriptor.valid()) {
        FailOpen(out, path, Error::OpenFailed, "open failed");
        return;
    }
    OpenArchiveDescriptor(out, descriptor.get(), path, limits, ArchiveWindow{});
}

void OpenArchiveDescriptor(OpenResult& out, int descriptor, const std::filesystem::path& path, const OpenLimits& limits,
                           const ArchiveWindow& window) {
    std::unique_ptr<ArchiveReader> reader = AcquireArchive(out, descriptor, path, limits, window);
    if (!reader) return;
    WarmStart();
    std::string message;
    const Error error = IndexArchive(reader->impl(), &message);
    // What the walk worked with, the library's own parse of the archive above
    // all, is freed by now but lies below the index in the heap: given back,
    // it no longer adds to what the fingerprint and the reply cost on top.
    platform::ReturnFreedMemory();
    if (error != Error::Ok) {
        FailOpen(out, path, error, std::move(message));
        return;
    }
    FinishOpen(std::move(reader), out);
}

}  // namespace ArchiveMount
