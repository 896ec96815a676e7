// A temporary file holding given bytes, open for reading, removed on destruction.
#pragma once

#include <filesystem>

#include "support/byte_image.h"

namespace testimage {

class ScratchFile {
public:
    explicit ScratchFile(const Bytes& contents);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // A read-only descriptor on the file; negative if the file could not be made.
    int descriptor() const { return descriptor_; }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    int descriptor_ = -1;
};

// A fresh path in the temporary directory that nothing uses yet.
std::filesystem::path UniqueTemporaryPath(const char* stem);

}  // namespace testimage
