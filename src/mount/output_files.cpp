#include "mount/output_files.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <optional>
#include <random>
#include <system_error>

#include "log/logger.h"
#include "mount/archive_reader_impl.h"
#include "mount/sha256.h"
#include "platform/platform.h"

namespace ArchiveMount {

namespace fs = std::filesystem;

std::string RandomHex(int count) {
    // The device is drawn once per process: on some hosts each draw costs more
    // than writing a small member (a hardware seed instruction that a virtual
    // machine makes slow). Hashing that secret key with a counter keeps every
    // name unpredictable to anyone without it.
    static std::array<unsigned char, 32> key;
    static bool keyed = false;
    static std::uint64_t counter = 0;
    const std::size_t wanted = count > 0 ? static_cast<std::size_t>(count) * 8 : 0;
    std::string out;
    try {
        if (!keyed) {
            std::random_device source;
            for (std::size_t i = 0; i < key.size(); i += 4) {
                const std::uint32_t value = static_cast<std::uint32_t>(source());
                for (std::size_t j = 0; j < 4; ++j) key[i + j] = static_cast<unsigned char>(value >> (8 * j));
            }
            keyed = true;
        }
        std::string block;
        while (out.size() < wanted) {
            block.assign(key.begin(), key.end());
            for (int shift = 0; shift < 64; shift += 8) block.push_back(static_cast<char>(counter >> shift));
            ++counter;
            const std::string digest = Sha256Hex(block);
            out.append(digest, 0, std::min(digest.size(), wanted - out.size()));
        }
    } catch (const std::exception&) {
        // No random source: better no name than a guessable one.
        return {};
    }
    return out;
}

platform::Stream CreateExclusive(const fs::path& path, char* buffer) {
    platform::Descriptor descriptor = platform::CreateFileExclusive(path);
    if (!descriptor.valid()) return nullptr;
    platform::Stream stream = platform::StreamFromDescriptor(descriptor, "wb");
    if (!stream) {
        descriptor.reset();
        // The name is ours alone (exclusive creation), so nobody else's file goes.
        std::error_code ignored;
        fs::remove(path, ignored);
        return nullptr;
    }
    // Producers hand over blocks of 32 KiB and more; a buffer of that order
    // keeps the write count near one per block, and small members to one.
    // A buffer must be given: without one the C library keeps its own size.
    std::setvbuf(stream.get(), buffer, _IOFBF, kOutputBufferBytes);
    return stream;
}

TemporaryFile::TemporaryFile(fs::path path, char* buffer)
    : path_(std::move(path)), stream_(CreateExclusive(path_, buffer)), owned_(stream_ != nullptr) {}

TemporaryFile::~TemporaryFile() {
    stream_.reset();
    // A name that could not be created exclusively may be somebody else's.
    if (!owned_) return;
    std::error_code ignored;
    fs::remove(path_, ignored);
}

bool TemporaryFile::Close() { return stream_ && std::fclose(stream_.release()) == 0; }

bool TemporaryFile::Commit(const fs::path& target) {
    std::error_code failed;
    fs::rename(path_, target, failed);
    if (failed) return false;
    owned_ = false;
    return true;
}

std::int64_t FileClockOffsetSeconds() {
    // The file clock's epoch is the library's choice; measure it rather than
    // assume one, so the stamp is the member's instant on every host.
    static const std::int64_t offset = [] {
        const auto file_now = std::chrono::file_clock::now().time_since_epoch();
        const auto system_now = std::chrono::system_clock::now().time_since_epoch();
        return static_cast<std::int64_t>(std::chrono::round<std::chrono::seconds>(file_now - system_now).count());
    }();
    return offset;
}

Error ArchiveReader::Impl::write_member(const MemberProducer& produce, const Entry& entry, const fs::path& path,
                                        std::string* message) const {
    const std::string digits = RandomHex(4);
    if (digits.empty()) {
        if (message) *message = "cannot create " + platform::PathToUtf8(path);
        return Error::OpenFailed;
    }
    fs::path temporary = path;
    temporary += "." + digits + ".part";

    if (!output_buffer) output_buffer = std::make_unique_for_overwrite<char[]>(kOutputBufferBytes);
    std::optional<TemporaryFile> created(std::in_place, temporary, output_buffer.get());
    if (!created->is_open()) {
        // The parent is made only when the creation fails: members of a tree
        // share their directories, and looking each one up again cost a
        // system call per member.
        std::error_code ignored;
        fs::create_directories(path.parent_path(), ignored);
        created.emplace(temporary, output_buffer.get());
    }
    TemporaryFile& file = *created;
    if (!file.is_open()) {
        // A failed creation left nothing for the owner to remove.
        if (message) *message = "cannot create " + platform::PathToUtf8(temporary);
        return Error::OpenFailed;
    }
    std::FILE* stream = file.stream();
    const MemberSink sink = [stream](const unsigned char* data, unsigned long long count) {
        return std::fwrite(data, 1, count, stream) == count;
    };
    const Error produced = produce(sink);
    // Only the close tells whether the last buffered bytes reached the file.
    const bool close_failed = !file.Close();
    if (produced != Error::Ok || close_failed) {
        if (produced == Error::Ok && message) *message = "cannot finish writing " + platform::PathToUtf8(temporary);
        return static_cast<std::uint8_t>(produced) >= 2 ? produced : Error::OpenFailed;
    }

    std::int64_t mtime = entry.mtime;
    if (mtime < 0 || mtime > kLatestFileTime) {
        tessra::Logger::Instance().Log(3, "archive", "%s: mtime %lld of '%s' is outside the file clock, clamped",
                                       platform::PathToUtf8(archive_path).c_str(), static_cast<long long>(mtime),
                                       platform::PathToUtf8(path).c_str());
        mtime = mtime < 0 ? 0 : kLatestFileTime;
    }
    const fs::file_time_type stamp{std::chrono::seconds(mtime + FileClockOffsetSeconds())};
    std::error_code stamp_error;
    fs::last_write_time(file.path(), stamp, stamp_error);
    if (stamp_error) {
        // A missing time is not worth losing the member over.
        tessra::Logger::Instance().Log(3, "archive", "%s: cannot set the mtime of '%s': %s",
                                       platform::PathToUtf8(archive_path).c_str(), platform::PathToUtf8(path).c_str(),
                                       stamp_error.message().c_str());
    }

    if (!file.Commit(path)) {
        if (message) *message = "cannot rename into " + platform::PathToUtf8(path);
        return Error::OpenFailed;
    }
    return Error::Ok;
}

}  // namespace ArchiveMount
