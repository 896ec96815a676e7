#include "support/zip_image_writer.h"

namespace testsupport {

ZipImageWriter& ZipImageWriter::Prefix(Bytes bytes) {
    prefix_ = std::move(bytes);
    return *this;
}

ZipImageWriter& ZipImageWriter::Add(ZipEntryFields entry) {
    entries_.push_back(std::move(entry));
    return *this;
}

ZipImageWriter& ZipImageWriter::DirectoryTrailer(Bytes bytes) {
    directory_trailer_ = std::move(bytes);
    return *this;
}

ZipImageWriter& ZipImageWriter::Zip64(Zip64Fields fields) {
    zip64_ = fields;
    return *this;
}

Bytes ZipImageWriter::Build(ZipLayout* layout) const {
    ZipLayout where;
    Bytes out = prefix_;
    const auto archive_offset = [&] { return static_cast<std::uint64_t>(out.size() - prefix_.size()); };

    std::vector<std::uint64_t> offsets;
    for (const ZipEntryFields& e : entries_) {
        where.local_headers.push_back(out.size());
        offsets.push_back(archive_offset());
        const std::uint32_t crc = e.crc32.value_or(Crc32(e.data));
        const auto size = static_cast<std::uint32_t>(e.data.size());
        PutU32(out, 0x04034b50);
        PutU16(out, 20);
        PutU16(out, e.local_flags.value_or(e.flags));
        PutU16(out, e.local_method.value_or(e.method));
        PutU32(out, e.dos_time);
        PutU32(out, e.local_crc32.value_or(crc));
        PutU32(out, e.local_compressed_size.value_or(size));
        PutU32(out, e.local_uncompressed_size.value_or(size));
        PutU16(out, static_cast<std::uint16_t>(e.name.size()));
        PutU16(out, static_cast<std::uint16_t>(e.local_extra.size()));
        PutBytes(out, ToBytes(e.name));
        PutBytes(out, e.local_extra);
        PutBytes(out, e.data);
    }

    where.directory = out.size();
    const std::uint64_t directory_offset = archive_offset();
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const ZipEntryFields& e = entries_[i];
        const std::uint32_t offset = e.stored_offset.value_or(static_cast<std::uint32_t>(offsets[i]));
        Bytes extra;
        if (e.zip64) {
            Bytes block;
            PutU64(block, e.data.size());
            PutU64(block, e.data.size());
            PutU64(block, offset);
            if (e.zip64_disk) PutU32(block, *e.zip64_disk);
            PutU16(extra, 0x0001);
            PutU16(extra, static_cast<std::uint16_t>(block.size()));
            PutBytes(extra, block);
        }
        PutBytes(extra, e.central_extra);
        const std::uint32_t size = e.zip64 ? 0xFFFFFFFF : static_cast<std::uint32_t>(e.data.size());
        PutU32(out, 0x02014b50);
        PutU16(out, 20);
        PutU16(out, 20);
        PutU16(out, e.flags);
        PutU16(out, e.method);
        PutU32(out, e.dos_time);
        PutU32(out, e.crc32.value_or(Crc32(e.data)));
        PutU32(out, size);
        PutU32(out, size);
        PutU16(out, static_cast<std::uint16_t>(e.name.size()));
        PutU16(out, static_cast<std::uint16_t>(extra.size()));
        PutU16(out, static_cast<std::uint16_t>(e.comment.size()));
        PutU16(out, e.disk_start);
        PutU16(out, 0);
        PutU32(out, e.external_attributes);
        PutU32(out, e.zip64 ? 0xFFFFFFFF : offset);
        PutBytes(out, ToBytes(e.name));
        PutBytes(out, extra);
        PutBytes(out, e.comment);
    }
    PutBytes(out, directory_trailer_);
    where.directory_size = out.size() - where.directory;

    const auto count = static_cast<std::uint64_t>(entries_.size());
    if (zip64_) {
        const Zip64Fields& z = *zip64_;
        where.zip64_end_record = out.size();
        const std::uint64_t record_offset = archive_offset();
        PutU32(out, 0x06064b50);
        PutU64(out, z.remainder);
        PutU16(out, 45);
        PutU16(out, 45);
        PutU32(out, z.disk);
        PutU32(out, z.directory_disk);
        PutU64(out, z.entries_on_disk.value_or(count));
        PutU64(out, z.entries.value_or(count));
        PutU64(out, z.directory_size.value_or(where.directory_size));
        PutU64(out, z.directory_offset.value_or(directory_offset));
        if (z.remainder > 44) out.resize(out.size() + (z.remainder - 44), 0);
        PutU32(out, z.locator_signature);
        PutU32(out, z.locator_disk);
        PutU64(out, z.record_offset.value_or(record_offset));
        PutU32(out, z.total_disks);
    }

    where.end_record = out.size();
    const bool markers = zip64_.has_value();
    const auto entries16 = static_cast<std::uint16_t>(markers ? 0xFFFF : count);
    PutU32(out, 0x06054b50);
    PutU16(out, end_.disk);
    PutU16(out, end_.directory_disk);
    PutU16(out, end_.entries_on_disk.value_or(entries16));
    PutU16(out, end_.entries.value_or(entries16));
    PutU32(out, end_.directory_size.value_or(markers ? 0xFFFFFFFF : static_cast<std::uint32_t>(where.directory_size)));
    PutU32(out,
           end_.directory_offset.value_or(markers ? 0xFFFFFFFF : static_cast<std::uint32_t>(directory_offset)));
    PutU16(out, static_cast<std::uint16_t>(end_.comment.size()));
    PutBytes(out, end_.comment);

    if (layout != nullptr) *layout = where;
    return out;
}

ZipEntryFields StoredEntry(std::string name, Bytes data) {
    ZipEntryFields entry;
    entry.name = std::move(name);
    entry.data = std::move(data);
    return entry;
}

}  // namespace testsupport
