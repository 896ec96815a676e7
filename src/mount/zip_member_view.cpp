#include "mount/zip_member_view.h"

#include "formats/file_range.h"
#include "formats/little_endian.h"
#include "formats/zip_central_directory.h"

namespace ArchiveMount {

namespace {

using ZipCentralDirectory::kCentralHeaderBytes;
using ZipCentralDirectory::kCentralHeaderSignature;
using ZipCentralDirectory::kEndRecordSignature;
using ZipCentralDirectory::k32BitMarker;
using ZipCentralDirectory::kZip64ExtraId;
using ZipCentralDirectory::kZip64LocatorBytes;
using ZipCentralDirectory::kZip64LocatorSignature;

void Put16(std::vector<unsigned char>& out, std::uint16_t value) {
    out.push_back(static_cast<unsigned char>(value));
    out.push_back(static_cast<unsigned char>(value >> 8));
}

void Put32(std::vector<unsigned char>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void Zero(unsigned char* at, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) at[i] = 0;
}

// Points the central header at offset 0: in its own field, or in its ZIP64
// block when the field holds the marker. False when the block is not there.
bool PointAtStart(std::vector<unsigned char>& header) {
    unsigned char* fixed = header.data();
    if (LittleEndian::U32(fixed + 42) != k32BitMarker) {
        Zero(fixed + 42, 4);
        return true;
    }
    const std::size_t name_length = LittleEndian::U16(fixed + 28);
    const std::size_t extra_length = LittleEndian::U16(fixed + 30);
    unsigned char* extra = fixed + kCentralHeaderBytes + name_length;
    for (std::size_t position = 0; extra_length - position >= 4;) {
        const std::uint16_t id = LittleEndian::U16(extra + position);
        const std::size_t size = LittleEndian::U16(extra + position + 2);
        if (size > extra_length - position - 4) return false;
        if (id == kZip64ExtraId) {
            // The block holds, in order, only the fields the header marks.
            std::size_t at = (LittleEndian::U32(fixed + 24) == k32BitMarker ? 8 : 0) +
                             (LittleEndian::U32(fixed + 20) == k32BitMarker ? 8 : 0);
            if (size < at + 8) return false;
            Zero(extra + position + 4 + at, 8);
            return true;
        }
        position += 4 + size;
    }
    return false;
}

}  // namespace

ZipMemberView ShowZipMember(int descriptor, std::uint64_t base, const ZipMemberPlace& place,
                            std::uint64_t directory_offset) {
    ZipMemberView view;
    if (place.local_header_offset >= directory_offset || place.central_size < kCentralHeaderBytes) return view;
    const std::uint64_t span = directory_offset - place.local_header_offset;
    // The end record says where the copy lies in 32 bits; no ZIP64 record.
    if (span >= k32BitMarker - place.central_size) return view;

    std::vector<unsigned char> header;
    if (ReadFileRange(descriptor, base + place.central_offset, place.central_size, header) !=
            ZipCentralDirectory::Status::Ok ||
        LittleEndian::U32(header.data()) != kCentralHeaderSignature ||
        kCentralHeaderBytes + LittleEndian::U16(&header[28]) + LittleEndian::U16(&header[30]) +
                LittleEndian::U16(&header[32]) !=
            header.size() ||
        !PointAtStart(header))
        return view;
    // The library takes a locator signature right before the end record for
    // a ZIP64 archive; inside the whole archive those bytes were others.
    if (LittleEndian::U32(&header[header.size() - kZip64LocatorBytes]) == kZip64LocatorSignature) return view;

    view.offset = base + place.local_header_offset;
    view.length = span;
    view.tail = std::move(header);
    Put32(view.tail, kEndRecordSignature);
    Put16(view.tail, 0);
    Put16(view.tail, 0);
    Put16(view.tail, 1);
    Put16(view.tail, 1);
    Put32(view.tail, place.central_size);
    Put32(view.tail, static_cast<std::uint32_t>(span));
    Put16(view.tail, 0);
    return view;
}

}  // namespace ArchiveMount
