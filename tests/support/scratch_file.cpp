#include "support/scratch_file.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <random>
#include <string>

#include "platform/platform.h"

namespace testsupport {

std::filesystem::path UniqueTemporaryPath(const char* stem) {
    static std::atomic<unsigned> counter{0};
    static const unsigned salt = std::random_device{}();
    return std::filesystem::temp_directory_path() /
           (std::string(stem) + "-" + std::to_string(salt) + "-" + std::to_string(counter++));
}

ScratchFile::ScratchFile(const Bytes& contents) : path_(UniqueTemporaryPath("ombrex-scratch")) {
    {
        std::ofstream out(path_, std::ios::binary);
        out.write(reinterpret_cast<const char*>(contents.data()), static_cast<std::streamsize>(contents.size()));
        if (!out) ADD_FAILURE() << "cannot write " << path_;
    }
    descriptor_ = platform::OpenFileSharedForReading(path_);
    if (!descriptor_.valid()) ADD_FAILURE() << "cannot open " << path_;
}

ScratchFile::~ScratchFile() {
    descriptor_.reset();
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
}

}  // namespace testsupport
