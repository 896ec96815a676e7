// Text renderings of an index reply for the command-line tool.
#pragma once

#include <cstdint>
#include <string>

#include "helper/frame_codec.h"

namespace HelperClient {

// "zip", "rar", "rar5", "7z", "tar", "raw", "isz", "iso9660".
const char* KindName(ArchiveMount::ArchiveKind kind);

// Local time as "YYYY-MM-DD HH:MM:SS"; the bare number when the C library
// cannot convert it.
std::string FormatTime(std::int64_t seconds);

// One row per entry, in index order, under a header line: ordinal ("-" for
// a made-up directory), DOS path, size ("<DIR>" for a directory), time, CRC
// (8 hex digits, "-" when unknown) and archive path; columns padded to fit.
std::string FormatIndexTable(const ArchiveHelper::IndexSummary& index);

// The archive's fields and an "entries" array with every entry's fields;
// strings escaped as JSON requires, bytes above 0x7F passed through.
std::string FormatIndexJson(const ArchiveHelper::IndexSummary& index);

// "name: value" lines: kind, declared total, archive size, fingerprint,
// identity size and time, entries (files and directories).
std::string FormatIndexInfo(const ArchiveHelper::IndexSummary& index);

}  // namespace HelperClient
