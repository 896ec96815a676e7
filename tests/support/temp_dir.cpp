#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>

#include "platform/platform.h"
#include "support/host.h"

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
    // Literal, so that a test's file named after a DOS device goes as a file.
    std::filesystem::remove_all(LiteralPath(path_), ignored);
}

std::filesystem::path TempDir::WriteFile(const std::string& name, const std::string& bytes) const {
    const auto file = path_ / platform::PathFromUtf8(name).value_or(name);
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(stream.good()) << file;
    return file;
}

}  // namespace testsupport
