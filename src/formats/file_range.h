// Reading a byte range of a file without disturbing the caller.
#pragma once

#include <cstdint>
#include <vector>

#include "formats/zip_central_directory.h"

// Fills `out` with exactly `length` bytes at `offset` of the file behind
// `descriptor`, read at that offset; the descriptor's position is left where
// it was. Ok; Truncated when the range runs past the file end;
// ReadFailed for a length over kMaxRangeBytes or any failed file access.
// `out` is cleared first, whatever the outcome.
ZipCentralDirectory::Status ReadFileRange(int descriptor, std::uint64_t offset, std::uint64_t length,
                                          std::vector<unsigned char>& out);
