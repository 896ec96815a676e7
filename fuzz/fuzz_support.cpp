#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <system_error>
#include <fcntl.h>
#include <unistd.h>

namespace ombrexfuzz {

void Fail(const char* file, int line, const char* condition, const std::string& detail) {
    std::fprintf(stderr, "%s:%d: property failed: %s\n  %s\n", file, line, condition, detail.c_str());
    std::fflush(stderr);
    std::abort();
}

namespace {

struct Scratch {
    std::filesystem::path path;
    Scratch() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ombrex-fuzz-XXXXXX").string();
        if (!mkdtemp(pattern.data())) Fail(__FILE__, __LINE__, "mkdtemp", pattern);
        path = pattern;
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

const std::filesystem::path& ScratchDir() {
    static Scratch scratch;
    return scratch.path;
}

std::filesystem::path WriteScratchFile(const std::string& name, const std::uint8_t* data, std::size_t size) {
    const std::filesystem::path file = ScratchDir() / name;
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) Fail(__FILE__, __LINE__, "write scratch file", file.string());
    return file;
}

void EmptyDirectory(const std::filesystem::path& directory) {
    std::error_code error;
    for (const auto& item : std::filesystem::directory_iterator(directory, error))
        std::filesystem::remove_all(item.path(), error);
}

}  // namespace ombrexfuzz

namespace ombrexfuzz {

ScratchInput::ScratchInput(const std::string& name, const std::uint8_t* data, std::size_t size)
    : path_(WriteScratchFile(name, data, size)) {
    descriptor_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor_ < 0) Fail(__FILE__, __LINE__, "open scratch file", path_.string());
}

ScratchInput::~ScratchInput() {
    if (descriptor_ >= 0) ::close(descriptor_);
}

long long FilePosition(int descriptor) { return static_cast<long long>(::lseek(descriptor, 0, SEEK_CUR)); }

}  // namespace ombrexfuzz
