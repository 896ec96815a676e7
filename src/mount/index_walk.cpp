#include "mount/index_walk.h"

#include <archive_entry.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <string_view>
#include <utility>

#include "log/logger.h"
#include "mount/archive_path.h"
#include "mount/dos_names.h"
#include "mount/library_setup.h"
#include "mount/open_refusal.h"
#include "mount/probe_table.h"
#include "platform/platform.h"

namespace ArchiveMount {

namespace {

constexpr std::size_t kRawReadBlock = 65536;
constexpr int kFormatFamilyMask = 0xFF0000;

std::string Quoted(const std::string& name) { return "'" + name + "': "; }

// The library's name for a member; none when it could not convert the stored
// bytes (a tar name in a DOS code page, a 7z name with a lone surrogate) and
// has no form of them left to give.
std::optional<std::string> EntryName(struct archive_entry* entry) {
    if (const char* utf8 = archive_entry_pathname_utf8(entry)) return utf8;
    if (const char* native = archive_entry_pathname(entry)) return native;
    return std::nullopt;
}

// One open's walk: the reader it fills and the state that lives from the
// first header to the last.
class IndexWalk {
public:
    IndexWalk(ArchiveReader::Impl& reader, struct archive* handle, PreWalkValues& values, WalkState& state,
              std::string* message)
        : reader_(reader), handle_(handle), values_(values), state_(state), message_(message) {}

    Error Run() {
        // ZIP and RAR 4 archives announce their member count; room for it and
        // a few made-up directories spares regrowing the index midway.
        const std::size_t listed = std::max(values_.zip_members.size(), values_.rar4.files.size());
        const std::size_t room = listed + listed / 8;
        reader_.entries.reserve(room);
        reader_.stamps.reserve(room);
        reader_.positions_by_ordinal.reserve(listed);
        paths_.Reserve(room);
        names_.Reserve(room);
        for (;;) {
            struct archive_entry* entry = nullptr;
            const int rc = archive_read_next_header(handle_, &entry);
            if (rc == ARCHIVE_EOF) return Error::Ok;
            if (rc < 0 && rc != ARCHIVE_WARN) return HeaderFailed();
            if (state_.ordinal == 0) {
                const Error first = FirstHeader();
                if (first != Error::Ok) return first;
            }
            const Error member = Member(entry);
            if (member != Error::Ok) return member;
            ++state_.ordinal;
        }
    }

private:
    Error Fail(Error error, std::string text) { return Refuse(message_, error, std::move(text)); }

    // The library's name into `name`; a name it cannot give is refused, the
    // member named by its ordinal since nothing of the name can be shown.
    Error TakeLibraryName(struct archive_entry* entry, std::int32_t ordinal, std::string& name) {
        std::optional<std::string> found = EntryName(entry);
        if (!found) return Fail(Error::NameRefused, "entry " + std::to_string(ordinal) + ": name is not valid UTF-8");
        name = std::move(*found);
        return Error::Ok;
    }

    Error HeaderFailed() {
        std::string text = LibraryErrorText(handle_, "");
        Error error = Error::Damaged;
        if (state_.ordinal == 0 && archive_format(handle_) == 0)
            error = Error::NotRecognized;
        else if (archive_read_has_encrypted_entries(handle_) >= 1)
            error = Error::PasswordProtected;
        else if (reader_.detected_format == DetectedFormat::Rar && text.find("solid") != std::string::npos)
            error = Error::SolidRar4;
        return Fail(error, std::move(text));
    }

    Error FirstHeader() {
        const std::optional<ArchiveKind> kind = KindOfLibraryFormat(handle_);
        if (!kind) return Fail(Error::NotRecognized, "unsupported format");
        reader_.kind = *kind;
        reader_.kind_flag = KindFlagOf(*kind);
        if ((*kind == ArchiveKind::Rar || *kind == ArchiveKind::Rar5) &&
            reader_.detected_format == DetectedFormat::Unknown)
            return Fail(Error::NotRecognized, "RAR data behind a self-extractor stub");
        // The names of an intact directory were checked before the walk.
        if (*kind == ArchiveKind::Zip) {
            const Error directory = DirectoryMustBeOk(values_.directory, message_);
            if (directory != Error::Ok) return directory;
        }
        state_.kind_known = true;
        return Error::Ok;
    }

    // Steps for one delivered header, from the entry cap to its placement.
    Error Member(struct archive_entry* library_entry) {
        const std::int32_t ordinal = state_.ordinal;
        const OpenLimits& limits = reader_.limits;
        // Ordinals are 32-bit: no cap may let the count run past the largest.
        const std::int64_t cap = std::min<std::int64_t>(limits.max_entries, std::numeric_limits<std::int32_t>::max());
        if (cap <= ordinal) return Fail(Error::TooManyEntries, "more than " + std::to_string(cap) + " entries");
        if (archive_entry_is_encrypted(library_entry) != 0 || archive_read_has_encrypted_entries(handle_) >= 1)
            return Fail(Error::PasswordProtected, "encrypted entry");

        const auto type = archive_entry_filetype(library_entry);
        if (type != AE_IFDIR && type != AE_IFREG) {
            const char* shown = archive_entry_pathname_utf8(library_entry);
            tessra::Logger::Instance().Log(3, "archive", "%s: dropping entry %d '%s': not a file or directory",
                                           platform::PathToUtf8(reader_.archive_path).c_str(), ordinal,
                                           shown != nullptr ? shown : "");
            archive_read_data_skip(handle_);
            return Error::Ok;
        }
        const bool is_dir = type == AE_IFDIR;

        std::string name;
        bool crc_known = false;
        std::uint32_t crc = 0;
        std::uint64_t stamp = 0;
        std::optional<ZipMember> member;
        switch (reader_.kind) {
            case ArchiveKind::Raw:
                if (ordinal > 0) return Fail(Error::Damaged, "a raw stream with a second entry");
                name = platform::PathToUtf8(reader_.archive_path.stem());
                break;
            case ArchiveKind::Rar: {
                const std::vector<Rar4Headers::FileHeader>& files = values_.rar4.files;
                if (static_cast<std::size_t>(ordinal) >= files.size())
                    return Fail(Error::Damaged, "more entries than the RAR headers list");
                if (const Error taken = TakeLibraryName(library_entry, ordinal, name); taken != Error::Ok) return taken;
                stamp = files[ordinal].dos_time;
                crc = files[ordinal].crc32;
                crc_known = true;
                break;
            }
            case ArchiveKind::Zip: {
                ZipWalkList& members = values_.zip_members;
                if (static_cast<std::size_t>(ordinal) >= members.size())
                    return Fail(Error::Damaged, "more entries than the central directory lists");
                member = members.At(ordinal);
                if (member->encrypted) return Fail(Error::PasswordProtected, "encrypted entry");
                name = member->name;
                stamp = member->dos_time;
                if (!ZipCentralDirectory::MethodSupported(member->method, DecoderFlags()))
                    return Fail(Error::MethodUnsupported, Quoted(name) + "ZIP method " +
                                                              std::to_string(member->method) + " (" +
                                                              ZipMethodText(member->method) + ")");
                crc = member->crc32;
                crc_known = true;
                if (std::optional<ZipCentralDirectory::Record> kept = members.TakeRecord(ordinal))
                    reader_.legacy_members[ordinal] = std::move(*kept);
                break;
            }
            default:
                if (const Error taken = TakeLibraryName(library_entry, ordinal, name); taken != Error::Ok) return taken;
                break;
        }

        int reason = 0;
        const SplitPathResult split = SplitArchivePath(name, &reason);
        if (!split.ok) return Fail(Error::NameRefused, Quoted(name) + PathRefusalText(reason));
        if (!is_dir && split.trailing_separator)
            return Fail(Error::NameRefused, Quoted(name) + "a file named as a directory");
        if (split.components.empty()) {
            archive_read_data_skip(handle_);
            return Error::Ok;
        }

        Entry entry;
        entry.ordinal = ordinal;
        entry.is_dir = is_dir;
        entry.size = is_dir ? 0 : archive_entry_size_is_set(library_entry) ? archive_entry_size(library_entry) : -1;
        entry.mtime = archive_entry_mtime(library_entry);
        entry.has_crc = crc_known && !is_dir;
        entry.crc = crc;
        if (!is_dir && member) {
            // A ZIP64 size beyond int64 is over every limit; keep it positive.
            entry.size = static_cast<std::int64_t>(
                std::min<std::uint64_t>(member->uncompressed_size, std::numeric_limits<std::int64_t>::max()));
            entry.nested_zip_offset = member->inner_zip_offset;
        }
        if (!is_dir && reader_.kind == ArchiveKind::Raw) {
            const Error read = ReadRawStream(name, entry);
            if (read != Error::Ok) return read;
            crc_known = true;
        }
        if (entry.size < 0) return Fail(Error::SizeOverLimit, Quoted(name) + "size not declared");
        if (entry.size > limits.max_member_bytes)
            return Fail(Error::SizeOverLimit, Quoted(name) + std::to_string(entry.size) + " bytes");

        if (reader_.kind != ArchiveKind::Zip && reader_.kind != ArchiveKind::Rar)
            stamp = static_cast<std::uint64_t>(entry.mtime);
        return Place(name, split.components, std::move(entry), crc_known, stamp);
    }

    // Reads the only member of a raw stream whole: its size and CRC are what
    // was read, its time the archive file's.
    Error ReadRawStream(const std::string& name, Entry& entry) {
        const std::int64_t limit = std::min(reader_.limits.max_total_bytes, reader_.limits.max_member_bytes);
        std::vector<unsigned char> buffer(kRawReadBlock);
        uLong crc = crc32(0, nullptr, 0);
        std::int64_t total = 0;
        for (;;) {
            const la_ssize_t count = archive_read_data(handle_, buffer.data(), buffer.size());
            if (count < 0) return Fail(Error::Damaged, LibraryErrorText(handle_, "read failed"));
            if (count == 0) break;
            total += count;
            if (total > limit)
                return Fail(Error::SizeOverLimit, Quoted(name) + "over " + std::to_string(limit) + " bytes");
            crc = crc32(crc, buffer.data(), static_cast<uInt>(count));
        }
        entry.size = total;
        entry.crc = static_cast<std::uint32_t>(crc);
        entry.has_crc = true;
        entry.mtime = reader_.identity.mtime;
        return Error::Ok;
    }

    // Lists the directories the path passes through, then admits, merges or
    // refuses the entry itself.
    Error Place(const std::string& name, const std::vector<std::string>& components, Entry entry, bool crc_known,
                std::uint64_t stamp) {
        // The whole path, made at its final size (growing a string rounds its
        // room up, and the index keeps one per member); the directories it
        // passes through are its prefixes.
        std::size_t length = components.size() - 1;
        for (const std::string& component : components) length += component.size();
        std::string path(length, '/');
        std::size_t parent = kNoEntry;
        std::size_t end = 0;
        for (std::size_t i = 0;; ++i) {
            components[i].copy(path.data() + end, components[i].size());
            end += components[i].size();
            if (i + 1 == components.size()) break;
            const std::string_view directory(path.data(), end);
            ++end;  // past the separator already in place
            const std::size_t listed = FindPath(directory);
            if (listed != kNoEntry) {
                const Entry& existing = reader_.entries[listed];
                if (!existing.is_dir)
                    return Fail(Error::NameRefused, Quoted(name) + "'" + std::string(directory) + "' is a file");
                parent = listed;
                continue;
            }
            DosNameResult dos = AssignDosName(names_, DosPathOf(parent), components[i]);
            if (!dos.ok) return Fail(Error::NameRefused, Quoted(name) + "DOS path too long");
            Entry made;
            made.ordinal = -1;
            made.path = std::string(directory);
            made.dos_path = std::move(dos.dos_path);
            made.is_dir = true;
            made.size = 0;
            made.mtime = entry.mtime;
            parent = Admit(std::move(made), 0);
        }

        const std::size_t listed = FindPath(path);
        if (listed == kNoEntry) {
            DosNameResult dos = AssignDosName(names_, DosPathOf(parent), components.back());
            if (!dos.ok) return Fail(Error::NameRefused, Quoted(name) + "no free 8.3 name or DOS path too long");
            const std::int64_t max_total = reader_.limits.max_total_bytes;
            std::int64_t total = 0;
            if (__builtin_add_overflow(reader_.declared_total, entry.size, &total) || total > max_total)
                return Fail(Error::SizeOverLimit, "declared total over " + std::to_string(max_total) + " bytes");
            reader_.declared_total = total;
            entry.path = std::move(path);
            entry.dos_path = std::move(dos.dos_path);
            Admit(std::move(entry), stamp);
            if (archive_read_data_skip(handle_) < 0) return Fail(Error::Damaged, LibraryErrorText(handle_, "skip failed"));
            return Error::Ok;
        }

        const Entry& existing = reader_.entries[listed];
        if (existing.is_dir && entry.is_dir) return Error::Ok;
        if (!existing.is_dir && !entry.is_dir) {
            const bool same_crc = !existing.has_crc || !crc_known || existing.crc == entry.crc;
            if (existing.size != entry.size || !same_crc)
                return Fail(Error::NameRefused, Quoted(name) + "listed twice with different content");
            tessra::Logger::Instance().Log(3, "archive", "%s: duplicate entry '%s' kept once",
                                           platform::PathToUtf8(reader_.archive_path).c_str(), path.c_str());
            archive_read_data_skip(handle_);
            return Error::Ok;
        }
        return Fail(Error::NameRefused,
                    Quoted(name) + (entry.is_dir ? "a file" : "a directory") + " of that name is already listed");
    }

    static std::uint32_t PathHash(std::string_view path) {
        return static_cast<std::uint32_t>(std::hash<std::string_view>{}(path));
    }

    // The position of the entry listed under `path`, or kNoEntry.
    std::size_t FindPath(std::string_view path) const {
        const std::uint32_t hash = PathHash(path);
        const PathSlot* slot = paths_.Find(hash, [&](const PathSlot& held) {
            return held.hash == hash && reader_.entries[held.position - 1].path == path;
        });
        return slot != nullptr ? slot->position - 1 : kNoEntry;
    }

    // The DOS path of the directory entry at `position`; the root's is "".
    std::string_view DosPathOf(std::size_t position) const {
        return position == kNoEntry ? std::string_view() : std::string_view(reader_.entries[position].dos_path);
    }

    // Adds an entry whose path is not listed yet; its position.
    std::size_t Admit(Entry entry, std::uint64_t stamp) {
        const std::size_t position = reader_.entries.size();
        const std::uint32_t hash = PathHash(entry.path);
        AddEntry(reader_, std::move(entry), stamp);
        paths_.Insert({static_cast<std::uint32_t>(position + 1), hash});
        return position;
    }

    // An entry's position plus one (0 marks an empty slot) and its path's
    // hash: the paths themselves are only in the entries.
    struct PathSlot {
        std::uint32_t position = 0;
        std::uint32_t hash = 0;
        bool operator==(const PathSlot&) const = default;
    };
    struct PathSlotHash {
        std::uint32_t operator()(const PathSlot& slot) const { return slot.hash; }
    };
    static constexpr std::size_t kNoEntry = static_cast<std::size_t>(-1);

    ArchiveReader::Impl& reader_;
    struct archive* handle_;
    PreWalkValues& values_;
    WalkState& state_;
    std::string* message_;
    DosNameAllocator names_;
    ProbeTable<PathSlot, PathSlotHash> paths_;
};

}  // namespace

Error ZipDirectoryError(ZipCentralDirectory::Status status) {
    switch (status) {
        case ZipCentralDirectory::Status::Ok: return Error::Ok;
        case ZipCentralDirectory::Status::Spanned: return Error::MultiVolume;
        case ZipCentralDirectory::Status::TooManyEntries: return Error::TooManyEntries;
        case ZipCentralDirectory::Status::ReadFailed: return Error::OpenFailed;
        default: return Error::Damaged;
    }
}

Error DirectoryMustBeOk(const ZipCentralDirectory::Result& directory, std::string* message) {
    if (directory.status == ZipCentralDirectory::Status::Ok) return Error::Ok;
    return Refuse(message, ZipDirectoryError(directory.status), ZipCentralDirectory::StatusText(directory.status));
}

std::optional<ArchiveKind> KindOfLibraryFormat(struct archive* handle) {
    switch (archive_format(handle) & kFormatFamilyMask) {
        case ARCHIVE_FORMAT_TAR: return ArchiveKind::Tar;
        case ARCHIVE_FORMAT_ISO9660: return ArchiveKind::Iso9660;
        case ARCHIVE_FORMAT_ZIP: return ArchiveKind::Zip;
        case ARCHIVE_FORMAT_RAW: return ArchiveKind::Raw;
        case ARCHIVE_FORMAT_RAR: return ArchiveKind::Rar;
        case ARCHIVE_FORMAT_7ZIP: return ArchiveKind::SevenZip;
        case ARCHIVE_FORMAT_RAR_V5: return ArchiveKind::Rar5;
        default: return std::nullopt;
    }
}

Error CheckZipNames(const std::vector<ZipCentralDirectory::Record>& records, std::string* message) {
    for (std::size_t position = 0; position < records.size(); ++position) {
        const std::string& name = records[position].name;
        const bool control = std::any_of(name.begin(), name.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte < 0x20 || byte == 0x7F;
        });
        if (control)
            return Refuse(message, Error::NameRefused,
                          "entry " + std::to_string(position) + ": " + "control character in name");
    }
    return Error::Ok;
}

const char* ZipMethodText(std::uint16_t method) {
    switch (method) {
        case 1: return "shrunk";
        case 2:
        case 3:
        case 4:
        case 5: return "reduced";
        case 6: return "imploded";
        case 7: return "tokenized";
        case 9: return "deflate64";
        case 10: return "PKWARE DCL imploded";
        case 99: return "AES encrypted";
        default: return "unknown";
    }
}

void ZipWalkList::Add(const ZipMember& member) {
    if (blocks_.empty() || blocks_.back().members.size() == kBlockMembers) {
        // A full block's names are trimmed to their size before the next starts.
        if (!blocks_.empty()) blocks_.back().names.shrink_to_fit();
        blocks_.emplace_back().members.reserve(kBlockMembers);
    }
    Block& block = blocks_.back();
    block.names += member.name;
    block.members.push_back({member.uncompressed_size, member.inner_zip_offset, member.crc32, member.dos_time,
                             static_cast<std::uint32_t>(block.names.size()), member.method, member.encrypted});
    ++count_;
}

void ZipWalkList::KeepRecord(ZipCentralDirectory::Record record) { records_.emplace(count_ - 1, std::move(record)); }

ZipMember ZipWalkList::At(std::size_t k) {
    const std::size_t block_number = k / kBlockMembers;
    for (; passed_blocks_ < block_number; ++passed_blocks_) blocks_.pop_front();
    const Block& block = blocks_.front();
    const std::size_t i = k % kBlockMembers;
    const Fixed& fixed = block.members[i];
    const std::size_t name_start = i == 0 ? 0 : block.members[i - 1].name_end;
    return {std::string_view(block.names).substr(name_start, fixed.name_end - name_start),
            fixed.uncompressed_size,
            fixed.inner_zip_offset,
            fixed.crc32,
            fixed.dos_time,
            fixed.method,
            fixed.encrypted};
}

std::optional<ZipCentralDirectory::Record> ZipWalkList::TakeRecord(std::size_t k) {
    const auto found = records_.find(k);
    if (found == records_.end()) return std::nullopt;
    std::optional<ZipCentralDirectory::Record> record = std::move(found->second);
    records_.erase(found);
    return record;
}

Error WalkIndex(ArchiveReader::Impl& reader, struct archive* handle, PreWalkValues& values, WalkState& state,
                std::string* message) {
    return IndexWalk(reader, handle, values, state, message).Run();
}

}  // namespace ArchiveMount
