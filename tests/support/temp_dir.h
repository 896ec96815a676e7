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

    // Writes `bytes` to `name` (UTF-8) inside the directory, replacing what was there.
    std::filesystem::path WriteFile(const std::string& name, const std::string& bytes) const;

private:
    std::filesystem::path path_;
};

}  // namespace testsupport
