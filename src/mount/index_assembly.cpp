#include "mount/index_assembly.h"

#include <limits>
#include <utility>

#include "formats/isz_image.h"
#include "mount/archive_fingerprint.h"
#include "mount/archive_path.h"
#include "mount/dos_names.h"
#include "mount/open_refusal.h"
#include "platform/platform.h"

namespace ArchiveMount {

Error EndOfWalk(ArchiveReader::Impl& reader, struct archive* handle, const WalkState& state,
                const PreWalkValues& values, std::string* message) {
    if (!state.kind_known) {
        if (values.zip_by_directory) {
            const Error directory = DirectoryMustBeOk(values.directory, message);
            if (directory != Error::Ok) return directory;
        }
        const std::optional<ArchiveKind> kind = KindOfLibraryFormat(handle);
        if (!kind) return Refuse(message, Error::NotRecognized, "no entries and no format");
        reader.kind = *kind;
        reader.kind_flag = KindFlagOf(*kind);
    }
    const std::string walked = ", libarchive walked " + std::to_string(state.ordinal);
    if (reader.kind == ArchiveKind::Zip) {
        const Error directory = DirectoryMustBeOk(values.directory, message);
        if (directory != Error::Ok) return directory;
        const std::size_t listed = values.zip_members.size();
        if (listed != static_cast<std::size_t>(state.ordinal))
            return Refuse(message, Error::Damaged,
                          "central directory lists " + std::to_string(listed) + " entries" + walked);
    }
    if (reader.kind == ArchiveKind::Rar) {
        const std::size_t listed = values.rar4.files.size();
        if (listed != static_cast<std::size_t>(state.ordinal))
            return Refuse(message, Error::Damaged, "RAR headers list " + std::to_string(listed) + " entries" + walked);
    }
    return Error::Ok;
}

Error BuildIszIndex(ArchiveReader::Impl& reader, std::string* message) {
    IszImage::IndexResult image = IszImage::ReadIndex(
        reader.descriptor.get(), static_cast<std::int64_t>(reader.identity.size), reader.limits.max_member_bytes);
    if (image.status != Error::Ok) return Refuse(message, image.status, std::move(image.message));

    const std::string name = platform::PathToUtf8(reader.archive_path.stem()) + ".iso";
    int reason = 0;
    const SplitPathResult split = SplitArchivePath(name, &reason);
    if (!split.ok || split.trailing_separator || split.components.size() != 1)
        return Refuse(message, Error::NameRefused, "'" + name + "': " + PathRefusalText(reason));
    DosNameAllocator names;
    DosNameResult dos = AssignDosName(names, "", split.components.front());
    if (!dos.ok) return Refuse(message, Error::NameRefused, "'" + name + "': no free 8.3 name");

    const std::uint64_t image_size = image.index.image_size;
    const std::int64_t max_total = reader.limits.max_total_bytes;
    if (image_size > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
        static_cast<std::int64_t>(image_size) > max_total)
        return Refuse(message, Error::SizeOverLimit, "declared total over " + std::to_string(max_total) + " bytes");

    std::uint32_t crc = 0;
    const Error content = IszImage::ContentCrc(reader.descriptor.get(), image.index, &crc, message);
    if (content != Error::Ok) return content;

    Entry entry;
    entry.ordinal = 0;
    entry.path = split.components.front();
    entry.dos_path = std::move(dos.dos_path);
    entry.size = static_cast<std::int64_t>(image_size);
    entry.mtime = reader.identity.mtime;
    entry.has_crc = true;
    entry.crc = crc;
    reader.kind = ArchiveKind::Isz;
    reader.kind_flag = KindFlagOf(ArchiveKind::Isz);
    reader.declared_total = entry.size;
    AddEntry(reader, std::move(entry), static_cast<std::uint64_t>(reader.identity.mtime));
    reader.isz_image = std::move(image.index);
    return Error::Ok;
}

void FinishOpen(std::unique_ptr<ArchiveReader> reader, OpenResult& out) {
    ArchiveReader::Impl& impl = reader->impl();
    std::vector<ManifestItem> items;
    items.reserve(impl.entries.size());
    for (std::size_t i = 0; i < impl.entries.size(); ++i) {
        const Entry& entry = impl.entries[i];
        if (entry.is_dir) continue;
        items.push_back(ManifestItem{entry.path, entry.size, impl.stamps[i], entry.has_crc, entry.crc});
    }
    impl.fingerprint = ComputeFingerprint(std::move(items), impl.archive_size);
    out.reader = std::move(reader);
    out.error = Error::Ok;
    out.message.clear();
}

}  // namespace ArchiveMount
