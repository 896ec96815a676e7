// What every fuzz target shares: a failed property aborts (libFuzzer keeps the
// input as a crash), and inputs that must live in files get a private
// scratch directory that disappears when the fuzzer exits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace ombrexfuzz {

[[noreturn]] void Fail(const char* file, int line, const char* condition, const std::string& detail);

// The process's own scratch directory, created on first use.
const std::filesystem::path& ScratchDir();

// Writes `size` bytes to `name` inside the scratch directory, replacing it.
std::filesystem::path WriteScratchFile(const std::string& name, const std::uint8_t* data, std::size_t size);

// Removes everything inside `directory` (which is kept).
void EmptyDirectory(const std::filesystem::path& directory);

}  // namespace ombrexfuzz

// Checks a property the code under test promises; `detail` is streamed into
// a std::string only when it fails.
#define FUZZ_CHECK(condition, detail)                                                       \
    do {                                                                                    \
        if (!(condition)) ::ombrexfuzz::Fail(__FILE__, __LINE__, #condition, (detail));     \
    } while (0)

namespace ombrexfuzz {

// Little-endian field of `width` bytes at `at`; the caller checks the bounds.
inline std::uint64_t LoadLe(const std::uint8_t* bytes, std::size_t at, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes[at + i];
    return value;
}

// A read-only descriptor on a scratch file, closed on destruction.
class ScratchInput {
public:
    ScratchInput(const std::string& name, const std::uint8_t* data, std::size_t size);
    ~ScratchInput();
    ScratchInput(const ScratchInput&) = delete;
    ScratchInput& operator=(const ScratchInput&) = delete;
    int descriptor() const { return descriptor_; }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    int descriptor_ = -1;
};

// The descriptor's file position, -1 when it has none.
long long FilePosition(int descriptor);

}  // namespace ombrexfuzz
