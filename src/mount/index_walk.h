// The walk over the library's member headers: each header is refused, dropped,
// merged with an entry already listed or admitted with a normalised path, a
// DOS path, a declared size, a time and, where the format offers one, a CRC.
#pragma once

#include <archive.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "formats/rar4_headers.h"
#include "formats/zip_central_directory.h"
#include "mount/archive_reader_impl.h"

namespace ArchiveMount {

// What the checks before the walk learned, read by the walk and by its end.
struct PreWalkValues {
    Rar4Headers::Result rar4;                // file headers; empty unless the archive is RAR 4
    ZipCentralDirectory::Result directory;   // status NoEndRecord when there is no ZIP at all
    bool zip_by_directory = false;           // treated as ZIP because of its central directory
    std::vector<ZipCentralDirectory::Record> sorted_records;  // by local header offset
    std::vector<std::int64_t> inner_zip_offsets;               // per sorted record, -1 or data offset
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
// up to date either way.
Error WalkIndex(ArchiveReader::Impl& reader, struct archive* handle, const PreWalkValues& values, WalkState& state,
                std::string* message);

}  // namespace ArchiveMount
