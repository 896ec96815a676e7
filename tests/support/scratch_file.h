// A temporary file holding given bytes, open for reading, removed on destruction.
#pragma once

#include <filesystem>

#include "platform/owners.h"
#include "support/byte_image.h"

namespace testsupport {

class ScratchFile {
public:
    explicit ScratchFile(const Bytes& contents);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // A read-only descriptor on the file; negative if the file could not be made.
    int descriptor() const { return descriptor_.get(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    platform::Descriptor descriptor_;
};

// A fresh path in the temporary directory that nothing uses yet.
std::filesystem::path UniqueTemporaryPath(const char* stem);

}  // namespace testsupport
