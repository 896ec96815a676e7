// A private read stream on a caller's descriptor: the pre-readers' only way
// into a file. Duplicates share the caller's file position, so the stream
// remembers it on the way in and puts it back on the way out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/owners.h"

namespace ZipCentralDirectory {

class PrivateStream {
public:
    // Remembers the descriptor's position, opens a binary stream on a private
    // duplicate and learns the file size. `is_open()` tells whether all of it worked.
    explicit PrivateStream(int descriptor);
    // Closes the stream (and with it the duplicate) and seeks the caller's
    // descriptor back to the remembered position, if there was one.
    ~PrivateStream();

    PrivateStream(const PrivateStream&) = delete;
    PrivateStream& operator=(const PrivateStream&) = delete;

    bool is_open() const { return stream_ != nullptr; }
    std::FILE* stream() const { return stream_.get(); }
    std::uint64_t size() const { return size_; }

private:
    int descriptor_;
    long long position_;
    platform::Stream stream_;
    std::uint64_t size_ = 0;
};

// Reads exactly `length` bytes at absolute offset `offset`; false on a failed
// seek or a short read.
bool ReadExactly(std::FILE* stream, std::uint64_t offset, unsigned char* buffer, std::size_t length);

}  // namespace ZipCentralDirectory
