#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <random>

namespace testsupport {

TempDir::TempDir() {
    std::random_device random;
    for (;;) {
        path_ = std::filesystem::temp_directory_path() / ("ombrex-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(path_)) break;
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::WriteFile(const std::string& name, const std::string& bytes) const {
    const auto file = path_ / name;
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(stream.good()) << file;
    return file;
}

std::filesystem::path TempDir::MakeFifo(const std::string& name) const {
    // The standard library cannot make FIFOs; only tests need one.
    const auto file = path_ / name;
    EXPECT_EQ(mkfifo(file.c_str(), 0600), 0) << file;
    return file;
}

}  // namespace testsupport
