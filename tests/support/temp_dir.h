// A fresh directory per test, removed with everything in it afterwards.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

    // Writes `bytes` to `name` inside the directory, replacing what was there.
    std::filesystem::path WriteFile(const std::string& name, const std::string& bytes) const;

    // Creates a FIFO named `name` inside the directory.
    std::filesystem::path MakeFifo(const std::string& name) const;

private:
    std::filesystem::path path_;
};

}  // namespace testsupport
