// The whole path: the input written to a file, opened with OpenArchivePath,
// then MaterializeAll into an empty directory. Input: 1 byte choosing the
// file name's extension (the open reads names too), then the file. What must
// hold: a failed open gives no reader, a code in 1..13 and exactly one log
// line "path: text (message)"; a finished index keeps its invariants (unique
// paths and DOS paths, DOS paths valid 8.3 and at most 78 characters, parents
// present, sizes within the limits); MaterializeAll answers a code in 0..13
// and leaves only complete files named by file-entry ordinals, no temporary
// file, and on Ok every file entry.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "index_checks.h"
#include "log/logger.h"
#include "mount/archive_index.h"

using namespace ombrexfuzz;
using ArchiveMount::Error;

namespace {

const char* const kNames[] = {"a.zip", "a.rar", "a.7z", "a.tar", "a.tar.gz", "a.iso", "a.isz",
                              "a.img.gz", "a.gz",  "a.tar.xz", "a.bz2", "a.zst", "a.bin", "A.ZIP"};

std::vector<std::string>& LogLines() {
    static std::vector<std::string> lines = [] {
        tessra::Logger::Instance().AddListener([](int level, const char*, const std::string& message) {
            if (level >= 3) LogLines().push_back(message);
        });
        return std::vector<std::string>{};
    }();
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string name = kNames[data[0] % (sizeof kNames / sizeof *kNames)];
    const std::filesystem::path archive = WriteScratchFile(name, data + 1, size - 1);
    const std::filesystem::path out = ScratchDir() / "out";
    std::filesystem::create_directories(out);
    EmptyDirectory(out);

    // Small enough that no input can make one run slow.
    ArchiveMount::OpenLimits limits;
    limits.max_entries = 4096;
    limits.max_total_bytes = 64 << 20;
    limits.max_member_bytes = 16 << 20;

    LogLines().clear();
    ArchiveMount::OpenResult opened;
    ArchiveMount::OpenArchivePath(opened, archive, limits);
    if (opened.error != Error::Ok) {
        const int code = static_cast<int>(opened.error);
        // The message may be empty: a failed header read passes on the
        // library's text, and the library does not always have one.
        FUZZ_CHECK(!opened.reader && code >= 1 && code <= 13,
                   "failed open: code " + std::to_string(code) + ", message '" + opened.message + "'");
        // Dropped members may be logged too; the failure itself once.
        const std::string failure = archive.string() + ": " + ArchiveMount::ErrorText(opened.error) + " (" +
                                    opened.message + ")";
        const auto lines = std::count(LogLines().begin(), LogLines().end(), failure);
        FUZZ_CHECK(lines == 1, std::to_string(lines) + " lines '" + failure + "'");
        return 0;
    }
    FUZZ_CHECK(opened.reader != nullptr, "Ok without a reader");
    ArchiveMount::ArchiveSource& reader = *opened.reader;
    const std::vector<ArchiveMount::Entry> entries = reader.Entries();
    const std::string broken = IndexViolation(entries, limits, reader.DeclaredTotal());
    FUZZ_CHECK(broken.empty(), "index: " + broken);

    std::string message;
    const Error all = reader.MaterializeAll(out, &message);
    const int code = static_cast<int>(all);
    FUZZ_CHECK(code <= 13, "MaterializeAll code " + std::to_string(code));
    const std::string output = OutputViolation(out, entries, all == Error::Ok);
    FUZZ_CHECK(output.empty(), "output: " + output + " (MaterializeAll " + std::to_string(code) + " " + message + ")");
    return 0;
}
