#include "formats/zip_central_directory.h"

#include <algorithm>
#include <array>
#include <limits>

#include "formats/little_endian.h"
#include "formats/private_stream.h"

namespace ZipCentralDirectory {

namespace {

using LittleEndian::U16;
using LittleEndian::U32;
using LittleEndian::U64;

constexpr std::uint32_t kLocalHeaderSignature = 0x04034b50;

constexpr std::size_t kEndRecordBytes = 22;
constexpr std::size_t kZip64EndRecordBytes = 56;
constexpr std::size_t kLocalHeaderBytes = 30;
constexpr std::uint64_t kMinZip64Remainder = 44;
constexpr std::uint64_t kMaxZip64Remainder = 16372;

constexpr std::uint16_t kDiskMarker = 0xFFFF;

// Where the directory is and how many records it holds, from either end record.
struct DirectoryLocation {
    std::uint64_t entries = 0;
    std::uint64_t size = 0;
    std::uint64_t start = 0;
    std::uint64_t prefix_shift = 0;
};

// The ZIP64 end record's location of the directory, or false when any part of
// the ZIP64 chain is missing or unusable; the caller then falls back silently.
bool ReadZip64Location(std::FILE* stream, std::uint64_t start, std::uint64_t length, std::uint64_t end_position,
                       DirectoryLocation& location) {
    std::array<unsigned char, kZip64LocatorBytes> locator;
    if (!ReadExactly(stream, start + end_position - kZip64LocatorBytes, locator.data(), locator.size())) return false;
    if (U32(&locator[0]) != kZip64LocatorSignature || U32(&locator[4]) != 0 || U32(&locator[16]) != 1) return false;
    const std::uint64_t record_offset = U64(&locator[8]);
    if (record_offset > length || length - record_offset < kZip64EndRecordBytes) return false;

    std::array<unsigned char, kZip64EndRecordBytes> record;
    if (!ReadExactly(stream, start + record_offset, record.data(), record.size())) return false;
    const std::uint64_t remainder = U64(&record[4]);
    if (remainder < kMinZip64Remainder || remainder > kMaxZip64Remainder) return false;
    if (remainder + 12 > length - record_offset) return false;
    if (U32(&record[16]) != 0 || U32(&record[20]) != 0) return false;
    if (U64(&record[24]) != U64(&record[32])) return false;
    location.entries = U64(&record[24]);
    location.size = U64(&record[40]);
    location.start = U64(&record[48]);
    location.prefix_shift = 0;
    return true;
}

// The 32-bit end record's location of the directory. The directory is taken to
// end where the end record starts, which absorbs bytes prepended to the archive.
Status Read32BitLocation(const unsigned char* end_record, std::uint64_t end_position, DirectoryLocation& location) {
    const std::uint16_t entries = U16(end_record + 10);
    const std::uint32_t size = U32(end_record + 12);
    const std::uint32_t offset = U32(end_record + 16);
    if (entries == kDiskMarker || size == k32BitMarker || offset == k32BitMarker) return Status::Malformed;
    if (U16(end_record + 4) != 0 || U16(end_record + 6) != 0 || U16(end_record + 8) != entries) {
        return Status::Spanned;
    }
    if (static_cast<std::uint64_t>(offset) + size > end_position) return Status::Truncated;
    location.entries = entries;
    location.size = size;
    location.start = end_position - size;
    location.prefix_shift = location.start - offset;
    return Status::Ok;
}

// Applies the ZIP64 extended information block to the 32-bit fields marked 0xFFFFFFFF/0xFFFF.
Status ApplyZip64Extra(const unsigned char* data, std::size_t size, Record& record, std::uint16_t& disk) {
    std::size_t position = 0;
    auto take = [&](std::size_t width, std::uint64_t& value) {
        if (size - position < width) return false;
        value = LittleEndian::Load(data + position, width);
        position += width;
        return true;
    };
    if (record.uncompressed_size == k32BitMarker && !take(8, record.uncompressed_size)) return Status::Malformed;
    if (record.compressed_size == k32BitMarker && !take(8, record.compressed_size)) return Status::Malformed;
    if (record.local_header_offset == k32BitMarker && !take(8, record.local_header_offset)) return Status::Malformed;
    if (disk == kDiskMarker) {
        std::uint64_t disk64 = 0;
        if (!take(4, disk64)) return Status::Malformed;
        if (disk64 != 0) return Status::Spanned;
        disk = 0;
    }
    return Status::Ok;
}

// Fills the name and applies the ZIP64 block of the central header at `header`,
// whose whole record is known to lie inside the image.
Status ParseRecord(const unsigned char* header, Record& record, std::uint16_t disk) {
    const std::uint16_t name_length = U16(header + 28);
    const std::uint16_t extra_length = U16(header + 30);
    record.name.assign(reinterpret_cast<const char*>(header + kCentralHeaderBytes), name_length);

    const unsigned char* extra = header + kCentralHeaderBytes + name_length;
    std::size_t position = 0;
    while (extra_length - position >= 4) {
        const std::uint16_t id = U16(extra + position);
        const std::uint16_t data_length = U16(extra + position + 2);
        if (data_length > extra_length - position - 4) return Status::Malformed;
        if (id == kZip64ExtraId) return ApplyZip64Extra(extra + position + 4, data_length, record, disk);
        position += 4 + data_length;
    }
    return disk == kDiskMarker ? Status::Spanned : Status::Ok;
}

// Equal local header offsets mean two records claim one member's data.
bool HasDuplicateOffsets(const std::vector<Record>& records) {
    std::vector<std::uint64_t> offsets;
    offsets.reserve(records.size());
    for (const Record& record : records) offsets.push_back(record.local_header_offset);
    std::sort(offsets.begin(), offsets.end());
    return std::adjacent_find(offsets.begin(), offsets.end()) != offsets.end();
}

// Code points of bytes 0x80..0xFF in code page 437.
constexpr std::array<std::uint16_t, 128> kCodePage437High = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

void AppendUtf8(std::string& out, std::uint16_t code) {
    if (code < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (code >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    }
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
}

Result Fail(Status status) {
    Result result;
    result.status = status;
    return result;
}

}  // namespace

Result Read(int descriptor, std::uint64_t entry_cap) {
    PrivateStream file(descriptor);
    if (!file.is_open()) return Fail(Status::ReadFailed);
    return ReadFromStream(file.stream(), 0, file.size(), entry_cap);
}

Result ReadWindow(int descriptor, std::uint64_t start, std::uint64_t length, std::uint64_t entry_cap) {
    PrivateStream file(descriptor);
    if (!file.is_open()) return Fail(Status::ReadFailed);
    if (file.size() < start || file.size() - start < length) return Fail(Status::ReadFailed);
    return ReadFromStream(file.stream(), start, length, entry_cap);
}

Result ReadFromStream(std::FILE* stream, std::uint64_t start, std::uint64_t length, std::uint64_t entry_cap) {
    if (length < kEndRecordBytes) return Fail(Status::NoEndRecord);

    const std::size_t tail_length = static_cast<std::size_t>(std::min(length, kEndRecordSearchBytes));
    const std::uint64_t tail_start = length - tail_length;
    std::vector<unsigned char> tail(tail_length);
    if (!ReadExactly(stream, start + tail_start, tail.data(), tail.size())) return Fail(Status::ReadFailed);

    // Nearest the end wins; tail position 0 is never a candidate.
    std::size_t hit = 0;
    for (std::size_t position = tail_length - kEndRecordBytes; position >= 1; --position) {
        if (U32(&tail[position]) == kEndRecordSignature) {
            hit = position;
            break;
        }
    }
    if (hit == 0) return Fail(Status::NoEndRecord);
    const std::uint64_t end_position = tail_start + hit;

    DirectoryLocation location;
    const bool zip64 =
        hit >= kZip64LocatorBytes && ReadZip64Location(stream, start, length, end_position, location);
    if (!zip64) {
        const Status status = Read32BitLocation(&tail[hit], end_position, location);
        if (status != Status::Ok) return Fail(status);
    }

    if (location.entries > entry_cap) return Fail(Status::TooManyEntries);
    if (location.size > kMaxRangeBytes) return Fail(Status::Truncated);
    if (location.start > length || location.size > length - location.start) return Fail(Status::Truncated);
    std::vector<unsigned char> image(static_cast<std::size_t>(location.size));
    if (!ReadExactly(stream, start + location.start, image.data(), image.size())) return Fail(Status::Truncated);

    Result result = Parse(image, location.entries, entry_cap);
    if (result.status != Status::Ok) return result;
    result.directory_offset = location.start;
    for (Record& record : result.records) record.central_offset += location.start;
    if (location.prefix_shift != 0) {
        for (Record& record : result.records) {
            // A shifted offset that no longer fits cannot lie in the window.
            if (record.local_header_offset > std::numeric_limits<std::uint64_t>::max() - location.prefix_shift) {
                result.status = Status::Truncated;
                return result;
            }
            record.local_header_offset += location.prefix_shift;
        }
    }
    if (HasDuplicateOffsets(result.records)) {
        result.status = Status::DuplicateLocalHeader;
        return result;
    }
    result.status = CheckLocalHeaders(stream, result.records, length, start);
    return result;
}

Result Parse(std::span<const unsigned char> image, std::uint64_t record_count, std::uint64_t entry_cap) {
    Result result;
    if (record_count > entry_cap) return Fail(Status::TooManyEntries);
    // The announced count is untrusted: reserve no more than the image can hold.
    result.records.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(record_count, image.size() / kCentralHeaderBytes)));

    std::size_t position = 0;
    for (std::uint64_t index = 0; index < record_count; ++index) {
        if (image.size() - position < kCentralHeaderBytes) {
            result.status = Status::Truncated;
            return result;
        }
        const unsigned char* header = image.data() + position;
        if (U32(header) != kCentralHeaderSignature) {
            result.status = Status::Malformed;
            return result;
        }
        const std::uint16_t disk = U16(header + 34);
        if (disk != 0 && disk != kDiskMarker) {
            result.status = Status::Spanned;
            return result;
        }
        const std::size_t next =
            position + kCentralHeaderBytes + U16(header + 28) + U16(header + 30) + U16(header + 32);
        if (next > image.size()) {
            result.status = Status::Truncated;
            return result;
        }

        Record record;
        record.flags = U16(header + 8);
        record.utf8 = (record.flags & 0x0800) != 0;
        record.encrypted = (record.flags & 0x0041) != 0;
        record.method = U16(header + 10);
        record.dos_time = U32(header + 12);
        record.crc32 = U32(header + 16);
        record.compressed_size = U32(header + 20);
        record.uncompressed_size = U32(header + 24);
        record.external_attributes = U32(header + 38);
        record.local_header_offset = U32(header + 42);
        record.central_offset = position;
        record.central_size = static_cast<std::uint32_t>(next - position);
        const Status status = ParseRecord(header, record, disk);
        if (status != Status::Ok) {
            result.status = status;
            return result;
        }
        result.records.push_back(std::move(record));
        position = next;
    }
    result.status = position == image.size() ? Status::Ok : Status::Malformed;
    return result;
}

namespace {

// How many bytes of local headers one read may take at most.
constexpr std::size_t kHeaderRunBytes = 65536;

// The check of one record against its local header at `header`.
Status CheckLocalHeader(Record& record, const unsigned char* header) {
    // Zero means the value is in a data descriptor, 0xFFFFFFFF that it is in ZIP64 fields.
    auto size_agrees = [](std::uint32_t local, std::uint64_t central) {
        return local == 0 || local == k32BitMarker || local == central;
    };
    const std::uint32_t local_crc = U32(header + 14);
    const bool implode_bits_differ = record.method == 6 && ((U16(header + 6) ^ record.flags) & 0x06) != 0;
    if (U32(header) != kLocalHeaderSignature || U16(header + 8) != record.method || implode_bits_differ ||
        (local_crc != 0 && local_crc != record.crc32) || !size_agrees(U32(header + 18), record.compressed_size) ||
        !size_agrees(U32(header + 22), record.uncompressed_size)) {
        return Status::LocalHeaderMismatch;
    }
    record.data_offset = record.local_header_offset + kLocalHeaderBytes + U16(header + 26) + U16(header + 28);
    return Status::Ok;
}

}  // namespace

Status CheckLocalHeaders(std::FILE* stream, std::vector<Record>& records, std::uint64_t window_length,
                         std::uint64_t window_start) {
    // The headers are read in the order they lie, a run of neighbours in one
    // read: a seek and a read per header cost more than all the rest of the
    // open for an archive of many small members. Each record gets the status
    // it would get alone, and the first failure in directory order is the
    // answer.
    std::vector<std::uint32_t> order(records.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
    std::sort(order.begin(), order.end(), [&records](std::uint32_t a, std::uint32_t b) {
        return records[a].local_header_offset < records[b].local_header_offset;
    });
    const auto fits = [window_length](std::uint64_t offset) {
        return offset <= window_length && window_length - offset >= kLocalHeaderBytes;
    };
    std::vector<Status> statuses(records.size(), Status::Ok);
    std::array<unsigned char, kHeaderRunBytes> run;
    std::uint64_t run_start = 0, run_length = 0;
    for (std::size_t k = 0; k < order.size(); ++k) {
        Record& record = records[order[k]];
        Status& status = statuses[order[k]];
        const std::uint64_t offset = record.local_header_offset;
        if (!fits(offset)) {
            status = Status::Truncated;
            continue;
        }
        if (offset < run_start || offset - run_start + kLocalHeaderBytes > run_length) {
            // From this header to the end of the last one that fits the run.
            std::uint64_t end = offset + kLocalHeaderBytes;
            for (std::size_t next = k + 1; next < order.size(); ++next) {
                const std::uint64_t at = records[order[next]].local_header_offset;
                if (!fits(at) || at + kLocalHeaderBytes - offset > kHeaderRunBytes) break;
                end = at + kLocalHeaderBytes;
            }
            run_start = offset;
            run_length = 0;
            if (!ReadExactly(stream, window_start + offset, run.data(), static_cast<std::size_t>(end - offset))) {
                // The run may fail for a later header's sake: this one alone.
                end = offset + kLocalHeaderBytes;
                if (!ReadExactly(stream, window_start + offset, run.data(), kLocalHeaderBytes)) {
                    status = Status::ReadFailed;
                    continue;
                }
            }
            run_length = end - offset;
        }
        status = CheckLocalHeader(record, run.data() + (offset - run_start));
    }
    for (const Status status : statuses) {
        if (status != Status::Ok) return status;
    }
    return Status::Ok;
}

const char* StatusText(Status status) {
    switch (status) {
        case Status::NoEndRecord: return "no zip end record";
        case Status::Truncated: return "zip central directory truncated";
        case Status::Malformed: return "zip central directory malformed";
        case Status::Spanned: return "spanned zip archive";
        case Status::TooManyEntries: return "too many zip entries";
        case Status::ReadFailed: return "zip could not be read";
        case Status::LocalHeaderMismatch: return "a zip local header disagrees with the central directory";
        case Status::DuplicateLocalHeader: return "two zip records at one local header offset";
        case Status::Ok: break;
    }
    return "";
}

bool MethodSupported(std::uint16_t method, const bool* flags) {
    auto flag = [flags](int index) { return flags != nullptr && flags[index]; };
    switch (method) {
        case 0:
        case 1:
        case 6:
        case 8:
        case 98: return true;
        case 12: return flag(0);
        case 14:
        case 95: return flag(1);
        case 93: return flag(2);
        default: return false;
    }
}

std::string DisplayName(const Record& record) {
    if (record.utf8) return record.name;
    std::string out;
    out.reserve(record.name.size());
    for (const char c : record.name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            out.push_back('?');
        } else if (byte < 0x80) {
            out.push_back(c);
        } else {
            AppendUtf8(out, kCodePage437High[byte - 0x80]);
        }
    }
    return out;
}

}  // namespace ZipCentralDirectory
