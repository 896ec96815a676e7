#include "support/output_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>


namespace testsupport {

namespace fs = std::filesystem;

std::vector<fs::path> PartFilesUnder(const fs::path& directory) {
    std::vector<fs::path> found;
    std::error_code error;
    for (fs::recursive_directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.size() >= 5 && name.compare(name.size() - 5, 5, ".part") == 0) found.push_back(it->path());
    }
    return found;
}

void ExpectNoPartFiles(const fs::path& directory) {
    for (const auto& left : PartFilesUnder(directory)) ADD_FAILURE() << "temporary file left: " << left;
}

std::string ReadWholeFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::int64_t FileTimeSeconds(const fs::path& path) {
    const auto system = std::chrono::file_clock::to_sys(fs::last_write_time(path));
    return std::chrono::floor<std::chrono::seconds>(system).time_since_epoch().count();
}

std::vector<std::string> FileNamesIn(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(directory)) names.push_back(item.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace testsupport
