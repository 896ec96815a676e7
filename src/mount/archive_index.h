// The index model: what an open produces and what the request loop and the
// materialize operations read.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "mount/archive_error.h"

namespace ArchiveMount {

// What the first bytes of an archive look like.
enum class DetectedFormat : int {
    Unknown = 0,
    Zip = 1,
    Rar = 2,
    Rar5 = 3,
    SevenZip = 4,
    Tar = 5,
    Gzip = 6,
    Bzip2 = 7,
    Xz = 8,
    Zstd = 9,
    Isz = 10,
    Lzma = 11,
    Iso9660 = 12,
};

// The display text messages quote; "unknown" outside 1..12.
const char* DetectedFormatText(DetectedFormat format);

// How the index was built and how members are read back.
enum class ArchiveKind : int {
    Zip = 0,
    Rar = 1,
    Rar5 = 2,
    SevenZip = 3,
    Tar = 4,
    Raw = 5,
    Isz = 6,
    Iso9660 = 7,
};

// The fixed flag the index reply passes on: 1 for Rar5, SevenZip and Tar.
int KindFlagOf(ArchiveKind kind);

// Per-open limits; compared as signed values.
struct OpenLimits {
    std::int64_t max_entries = 65536;
    std::int64_t max_total_bytes = 4294967296LL;
    std::int64_t max_member_bytes = 2147483648LL;
};

// The byte range of a file that holds the archive.
struct ArchiveWindow {
    std::int64_t offset = 0;
    std::int64_t length = 0;
    bool present = false;
};

// What the open recorded about the file, to tell later whether it changed.
struct ArchiveIdentity {
    std::uint64_t size = 0;
    std::int64_t mtime = 0;
};

// One indexed file or directory.
struct Entry {
    std::int32_t ordinal = 0;
    std::string path;
    std::string dos_path;
    bool is_dir = false;
    std::int64_t size = 0;
    std::int64_t mtime = 0;
    bool has_crc = false;
    std::uint32_t crc = 0;
    std::int64_t nested_zip_offset = -1;
};

// What the request loop and the index reply see of an open archive.
class ArchiveSource {
public:
    virtual ~ArchiveSource() = default;
    virtual ArchiveKind Kind() const = 0;
    virtual int KindFlag() const = 0;
    virtual const std::vector<Entry>& Entries() const = 0;
    virtual std::int64_t DeclaredTotal() const = 0;
    virtual std::uint64_t ArchiveSize() const = 0;
    virtual const std::string& Fingerprint() const = 0;
    virtual ArchiveIdentity Identity() const = 0;
    // Member by ordinal into bytes.
    virtual Error Materialize(int ordinal, std::vector<unsigned char>& out, std::string* message) = 0;
    // Member by ordinal into a file that appears only complete.
    virtual Error MaterializeToFile(int ordinal, const std::filesystem::path& file, std::string* message) = 0;
    // Every file member into a directory, files named by ordinal.
    virtual Error MaterializeAll(const std::filesystem::path& directory, std::string* message) = 0;
};

// The one concrete source; created only by the two open operations.
class ArchiveReader final : public ArchiveSource {
public:
    struct Impl;

    explicit ArchiveReader(std::unique_ptr<Impl> impl);
    ~ArchiveReader() override;

    ArchiveKind Kind() const override;
    int KindFlag() const override;
    const std::vector<Entry>& Entries() const override;
    std::int64_t DeclaredTotal() const override;
    std::uint64_t ArchiveSize() const override;
    const std::string& Fingerprint() const override;
    ArchiveIdentity Identity() const override;
    Error Materialize(int ordinal, std::vector<unsigned char>& out, std::string* message) override;
    Error MaterializeToFile(int ordinal, const std::filesystem::path& file, std::string* message) override;
    Error MaterializeAll(const std::filesystem::path& directory, std::string* message) override;

    Impl& impl() { return *impl_; }
    const Impl& impl() const { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

// What both open operations fill.
struct OpenResult {
    std::unique_ptr<ArchiveSource> reader;
    Error error = Error::Ok;
    std::string message;
};

// Opens a file by path and indexes it.
void OpenArchivePath(OpenResult& out, const std::filesystem::path& path, const OpenLimits& limits);

// Indexes the archive behind a descriptor the caller keeps owning (the reader
// makes its own duplicate), optionally restricted to a window.
void OpenArchiveDescriptor(OpenResult& out, int descriptor, const std::filesystem::path& path,
                           const OpenLimits& limits, const ArchiveWindow& window);

}  // namespace ArchiveMount
