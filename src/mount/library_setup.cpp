#include "mount/library_setup.h"

#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "log/logger.h"
#include "mount/archive_sources.h"
#include "platform/platform.h"

namespace ArchiveMount {

namespace {

constexpr std::size_t kOpenBlockSize = 65536;

struct ProbeRow {
    const char* name;
    DetectedFormat format;
    FilterRegistration registration;
    DecoderFamily family;
};

constexpr ProbeRow kProbeTable[] = {
    {"gzip", DetectedFormat::Gzip, archive_read_support_filter_gzip, kGzipDecoder},
    {"bzip2", DetectedFormat::Bzip2, archive_read_support_filter_bzip2, kBzip2Decoder},
    {"xz", DetectedFormat::Xz, archive_read_support_filter_xz, kXzLzmaDecoder},
    {"lzma", DetectedFormat::Lzma, archive_read_support_filter_lzma, kXzLzmaDecoder},
    {"zstd", DetectedFormat::Zstd, archive_read_support_filter_zstd, kZstdDecoder},
};
constexpr std::size_t kProbeRows = sizeof kProbeTable / sizeof kProbeTable[0];

// The filter row of a compressed format, or null for formats without one.
const ProbeRow* RowFor(DetectedFormat format) {
    for (const ProbeRow& row : kProbeTable) {
        if (row.format == format) return &row;
    }
    return nullptr;
}

int RegisterForReal(const char*, FilterRegistration registration, struct archive* scratch) {
    return registration(scratch);
}

DecoderProbe g_probe = RegisterForReal;

struct DecoderRegistry {
    bool available[4] = {true, true, true, true};
    bool usable[kProbeRows] = {};  // by row of kProbeTable

    DecoderRegistry() {
        for (std::size_t i = 0; i < kProbeRows; ++i) {
            const ProbeRow& row = kProbeTable[i];
            LibraryHandle scratch;
            scratch.archive = archive_read_new();
            if (scratch.archive == nullptr) throw std::bad_alloc();
            // The library answers ARCHIVE_WARN when it could only run an
            // external program; the helper never starts one.
            const int result = g_probe(row.name, row.registration, scratch.archive);
            if (result == ARCHIVE_OK) {
                usable[i] = true;
                continue;
            }
            available[row.family] = false;
            tessra::Logger::Instance().Log(
                3, "archive", "libarchive has no built-in %s decoder; archives and zip members using it are refused",
                row.name);
        }
    }
};

const DecoderRegistry& Registry() {
    static const DecoderRegistry registry;
    return registry;
}

void RegisterFormats(struct archive* archive, DetectedFormat format, bool zip_only, bool raw_stream) {
    switch (format) {
        case DetectedFormat::Unknown:
            archive_read_support_format_zip_seekable(archive);
            if (!zip_only) {
                archive_read_support_format_rar(archive);
                archive_read_support_format_rar5(archive);
                archive_read_support_format_7zip(archive);
                archive_read_support_format_tar(archive);
            }
            break;
        case DetectedFormat::Zip: archive_read_support_format_zip_seekable(archive); break;
        case DetectedFormat::Rar: archive_read_support_format_rar(archive); break;
        case DetectedFormat::Rar5: archive_read_support_format_rar5(archive); break;
        case DetectedFormat::SevenZip: archive_read_support_format_7zip(archive); break;
        case DetectedFormat::Tar: archive_read_support_format_tar(archive); break;
        case DetectedFormat::Gzip:
        case DetectedFormat::Bzip2:
        case DetectedFormat::Xz:
        case DetectedFormat::Zstd:
        case DetectedFormat::Lzma:
            if (raw_stream)
                archive_read_support_format_raw(archive);
            else
                archive_read_support_format_tar(archive);
            AddDecoder(archive, format);
            return;
        case DetectedFormat::Iso9660: archive_read_support_format_iso9660(archive); return;
        default: return;  // Isz: the helper reads those itself
    }
    // The filters a container may arrive wrapped in.
    for (DetectedFormat wrap : {DetectedFormat::Gzip, DetectedFormat::Bzip2, DetectedFormat::Xz, DetectedFormat::Zstd})
        AddDecoder(archive, wrap);
}

int Refused(struct archive* archive, std::string* message) {
    if (message) *message = LibraryErrorText(archive, "open failed");
    return kLibraryRefused;
}

}  // namespace

void SetDecoderProbe(DecoderProbe probe) { g_probe = probe; }

std::string LibraryErrorText(struct archive* archive, const char* fallback) {
    if (archive_errno(archive) == ENOMEM) throw std::bad_alloc();
    const char* text = archive_error_string(archive);
    return text != nullptr && *text != '\0' ? text : fallback;
}

const bool* DecoderFlags() { return Registry().available; }

bool HasBuiltInDecoder(DetectedFormat format) {
    const ProbeRow* row = RowFor(format);
    return row == nullptr || Registry().available[row->family];
}

void AddDecoder(struct archive* archive, DetectedFormat format) {
    const ProbeRow* row = RowFor(format);
    if (row != nullptr && Registry().usable[row - kProbeTable]) row->registration(archive);
}

LibraryHandle::~LibraryHandle() {
    if (archive != nullptr) archive_read_free(archive);
}

namespace {

// Sets the options every handle gets; their results are ignored: an option
// for a format that is not registered is refused, which changes nothing, and
// its error text must not outlive it.
void SetReadOptions(struct archive* archive) {
    archive_read_set_format_option(archive, "zip", "mac-ext", nullptr);
    archive_read_set_format_option(archive, "tar", "hdrcharset", "UTF-8");
    archive_clear_error(archive);
}

// Opens `out` through a cursor over [offset, offset + length) of its
// descriptor followed by `tail`.
int OpenThroughCursor(LibraryHandle& out, int descriptor, std::int64_t offset, std::int64_t length,
                      std::vector<unsigned char> tail, std::string* message) {
    out.cursor = std::make_unique_for_overwrite<WindowCursor>();
    out.cursor->descriptor = descriptor;
    out.cursor->offset = offset;
    out.cursor->length = length;
    out.cursor->tail = std::move(tail);
    archive_read_set_read_callback(out.archive, WindowRead);
    archive_read_set_seek_callback(out.archive, WindowSeek);
    archive_read_set_skip_callback(out.archive, WindowSkip);
    archive_read_set_callback_data(out.archive, out.cursor.get());
    if (archive_read_open1(out.archive) != ARCHIVE_OK) return Refused(out.archive, message);
    return kLibraryOpened;
}

// A new library object in `out` and its own duplicate of `descriptor`.
int Prepare(int descriptor, LibraryHandle& out, std::string* message) {
    out.archive = archive_read_new();
    if (out.archive == nullptr) throw std::bad_alloc();
    out.descriptor = DuplicateArchiveDescriptor(descriptor);
    if (!out.descriptor.valid()) {
        if (message) *message = "cannot duplicate the archive descriptor";
        return kLibraryNoDescriptor;
    }
    return kLibraryOpened;
}

// The two ways of opening a whole archive: `cursor_length`, when set, reads a
// file that is not a window through a cursor of that length too.
int OpenWhole(int descriptor, DetectedFormat format, bool zip_only, bool raw_stream, const ArchiveWindow& window,
              std::optional<std::uint64_t> cursor_length, LibraryHandle& out, std::string* message) {
    const int prepared = Prepare(descriptor, out, message);
    if (prepared != kLibraryOpened) return prepared;
    RegisterFormats(out.archive, format, zip_only, raw_stream);
    SetReadOptions(out.archive);
    if (window.present) {
        return OpenThroughCursor(out, out.descriptor.get(), window.offset, window.length, {}, message);
    }
    if (cursor_length) {
        return OpenThroughCursor(out, out.descriptor.get(), 0, static_cast<std::int64_t>(*cursor_length), {}, message);
    }
    platform::Seek(out.descriptor.get(), 0, SEEK_SET);
    if (archive_read_open_fd(out.archive, out.descriptor.get(), kOpenBlockSize) != ARCHIVE_OK)
        return Refused(out.archive, message);
    return kLibraryOpened;
}

}  // namespace

int OpenLibraryHandle(int descriptor, DetectedFormat format, bool zip_only, bool raw_stream,
                      const ArchiveWindow& window, LibraryHandle& out, std::string* message) {
    return OpenWhole(descriptor, format, zip_only, raw_stream, window, std::nullopt, out, message);
}

int OpenKeepableHandle(int descriptor, DetectedFormat format, bool zip_only, bool raw_stream,
                       const ArchiveWindow& window, std::uint64_t archive_size, LibraryHandle& out,
                       std::string* message) {
    return OpenWhole(descriptor, format, zip_only, raw_stream, window, archive_size, out, message);
}

int OpenZipMemberHandle(int descriptor, ZipMemberView view, LibraryHandle& out, std::string* message) {
    out.archive = archive_read_new();
    if (out.archive == nullptr) throw std::bad_alloc();
    archive_read_support_format_zip_seekable(out.archive);
    SetReadOptions(out.archive);
    // A cursor reads at offsets only, so the reader's descriptor serves
    // without a duplicate of its own.
    return OpenThroughCursor(out, descriptor, static_cast<std::int64_t>(view.offset),
                             static_cast<std::int64_t>(view.length), std::move(view.tail), message);
}

}  // namespace ArchiveMount
