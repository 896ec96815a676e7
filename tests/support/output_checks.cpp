#include "support/output_checks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>

#include "log/logger.h"

namespace test_support {

namespace fs = std::filesystem;

ScratchDirectory::ScratchDirectory() {
    std::random_device random;
    for (;;) {
        path_ = fs::temp_directory_path() / ("ombrex-test-" + std::to_string(random()));
        if (fs::create_directory(path_)) break;
    }
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

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

void WriteWholeFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
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

namespace {

// The logger keeps listeners for the life of the process, so one listener
// serves every capture and records only while a capture is active.
struct CaptureState {
    std::mutex mutex;
    bool active = false;
    std::vector<std::string> lines;
};

CaptureState& State() {
    static CaptureState* state = [] {
        auto* created = new CaptureState;
        tessra::Logger::Instance().AddListener([created](int level, const char* component, const std::string& message) {
            std::lock_guard<std::mutex> lock(created->mutex);
            if (created->active && level == 3 && std::string(component) == "archive") created->lines.push_back(message);
        });
        return created;
    }();
    return *state;
}

}  // namespace

WarnCapture::WarnCapture() {
    auto& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.lines.clear();
    state.active = true;
}

WarnCapture::~WarnCapture() {
    auto& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.active = false;
}

std::vector<std::string> WarnCapture::lines() const {
    auto& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.lines;
}

}  // namespace test_support
