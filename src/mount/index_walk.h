// The walk over the library's member headers: each header is refused, dropped,
// merged with an entry already listed or admitted with a normalised path, a
// DOS path, a declared size, a time and, where the format offers one, a CRC.
#pragma once

#include <archive.h>

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/rar4_headers.h"
#include "formats/zip_central_directory.h"
#include "mount/archive_reader_impl.h"

namespace ArchiveMount {

// What the walk needs of one ZIP central directory record.
struct ZipMember {
    std::string_view name;  // the record's DisplayName
    std::uint64_t uncompressed_size = 0;
    std::int64_t inner_zip_offset = -1;  // data offset of a stored ZIP named like an archive, else -1
    std::uint32_t crc32 = 0;
    std::uint32_t dos_time = 0;
    std::uint16_t method = 0;
    bool encrypted = false;
};

// The central directory as the walk needs it, in the order the library walks
// a ZIP (by local header offset). It is held compact, in blocks freed once
// the walk has passed them, so that what a large directory costs goes to the
// index's own strings as the index grows.
class ZipWalkList {
public:
    // Appends the member the library walks next.
    void Add(const ZipMember& member);
    // Keeps the whole record of the member added last, for its decoder.
    void KeepRecord(ZipCentralDirectory::Record record);

    // Members listed, those passed included.
    std::size_t size() const { return count_; }
    // Member k < size(); its name lasts until the next call. The blocks
    // before k's are freed: k never goes back.
    ZipMember At(std::size_t k);
    // The record kept for member k, taken out of the list; empty when none.
    std::optional<ZipCentralDirectory::Record> TakeRecord(std::size_t k);

private:
    struct Fixed {
        std::uint64_t uncompressed_size;
        std::int64_t inner_zip_offset;
        std::uint32_t crc32;
        std::uint32_t dos_time;
        std::uint32_t name_end;  // in the block's names
        std::uint16_t method;
        bool encrypted;
    };
    struct Block {
        std::vector<Fixed> members;
        std::string names;
    };
    static constexpr std::size_t kBlockMembers = 1024;

    std::deque<Block> blocks_;
    std::size_t passed_blocks_ = 0;
    std::size_t count_ = 0;
    std::map<std::size_t, ZipCentralDirectory::Record> records_;
};

// What the checks before the walk learned, read by the walk and by its end.
struct PreWalkValues {
    Rar4Headers::Result rar4;                // file headers; empty unless the archive is RAR 4
    ZipCentralDirectory::Result directory;   // status NoEndRecord when there is no ZIP at all
    bool zip_by_directory = false;           // treated as ZIP because of its central directory
    // An intact directory's records, which are freed once listed here.
    ZipWalkList zip_members;
};

// How far the walk got: headers met (dropped and merged ones included) and
// whether the first header set the reader's kind.
struct WalkState {
    std::int32_t ordinal = 0;
    bool kind_known = false;
};

// The open's code for a failed central directory read.
Error ZipDirectoryError(ZipCentralDirectory::Status status);

// Ok for an intact central directory; otherwise its status as the open
// reports it, with the status text as the message.
Error DirectoryMustBeOk(const ZipCentralDirectory::Result& directory, std::string* message);

// The served kind of the library's format family, or empty for a family the
// helper does not serve.
std::optional<ArchiveKind> KindOfLibraryFormat(struct archive* handle);

// NameRefused for the first record (in directory order) whose raw name holds
// a control byte, with its 0-based position in `message`; Ok otherwise.
Error CheckZipNames(const std::vector<ZipCentralDirectory::Record>& records, std::string* message);

// The name of a ZIP method in the unsupported-method message.
const char* ZipMethodText(std::uint16_t method);

// Walks every header of the open library handle until ARCHIVE_EOF, adding
// entries to `reader`. Ok when the walk reached the end (then `state` tells
// how far); otherwise the first refusal's code and message. `state` is kept
// up to date either way. The ZIP members it passes leave `values`.
Error WalkIndex(ArchiveReader::Impl& reader, struct archive* handle, PreWalkValues& values, WalkState& state,
                std::string* message);

}  // namespace ArchiveMount
