#include "mount/output_files.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
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

TemporaryFile::TemporaryFile(fs::path path, char* buffer)
    : path_(std::move(path)),
      descriptor_(platform::CreateFileExclusive(path_)),
      buffer_(buffer),
      owned_(descriptor_.valid()) {}

TemporaryFile::~TemporaryFile() {
    descriptor_.reset();
    // A name that could not be created exclusively may be somebody else's.
    if (!owned_) return;
    std::error_code ignored;
    fs::remove(path_, ignored);
}

bool TemporaryFile::Flush() {
    const std::size_t count = buffered_;
    buffered_ = 0;
    return platform::WriteAll(descriptor_.get(), buffer_, count);
}

bool TemporaryFile::Write(const unsigned char* data, std::size_t count) {
    if (!descriptor_.valid()) return false;
    if (count >= kDirectWriteBytes) {
        return Flush() && platform::WriteAll(descriptor_.get(), data, count);
    }
    if (count > kOutputBufferBytes - buffered_ && !Flush()) return false;
    std::memcpy(buffer_ + buffered_, data, count);
    buffered_ += count;
    return true;
}

bool TemporaryFile::Close() {
    if (!descriptor_.valid()) return false;
    const bool flushed = Flush();
    return platform::CloseDescriptor(descriptor_.release()) == 0 && flushed;
}

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
    const MemberSink sink = [&file](const unsigned char* data, unsigned long long count) {
        return file.Write(data, static_cast<std::size_t>(count));
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
