#include "dostree/member_cache.h"

#include <system_error>

#include "mount/output_files.h"
#include "platform/platform.h"

namespace DosTree {

namespace fs = std::filesystem;
using HelperClient::Outcome;

std::unique_ptr<MemberCache> MemberCache::Create(const fs::path& parent, std::uint64_t capacity, Fetch fetch,
                                                 std::string* message) {
    // The name is ours alone: a directory that exists already is not taken.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const fs::path directory = parent / ("ombrex-cache-" + ArchiveMount::RandomHex(2));
        std::error_code error;
        if (fs::create_directory(directory, error)) {
            fs::permissions(directory, fs::perms::owner_all, error);
            std::unique_ptr<MemberCache> cache(new MemberCache(directory, capacity, std::move(fetch)));
            if (fs::create_directory(cache->arrivals_, error)) return cache;
        }
        if (error && error != std::errc::file_exists) {
            if (message) *message = "cannot create a cache directory in " + parent.string() + ": " + error.message();
            return nullptr;
        }
    }
    if (message) *message = "cannot create a cache directory in " + parent.string();
    return nullptr;
}

MemberCache::MemberCache(fs::path directory, std::uint64_t capacity, Fetch fetch)
    : directory_(std::move(directory)),
      arrivals_(directory_ / "ahead"),
      capacity_(capacity),
      fetch_(std::move(fetch)) {}

MemberCache::~MemberCache() {
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
}

fs::path MemberCache::FileOf(std::int32_t ordinal, bool arrived) const {
    return (arrived ? arrivals_ : directory_) / std::to_string(ordinal);
}

namespace {

Outcome CannotOpenCopy(std::int32_t ordinal) {
    return {ArchiveMount::Error::OpenFailed, "cannot open the cached copy of member " + std::to_string(ordinal)};
}

}  // namespace

MemberCache::Opened MemberCache::Open(std::int32_t ordinal) {
    std::unique_lock lock(mutex_);
    for (;;) {
        const auto found = slots_.find(ordinal);
        if (found == slots_.end()) break;
        if (found->second.state == State::Fetching) {
            // Another reader fetches it; if that fails, the slot goes and
            // this reader fetches anew.
            fetched_.wait(lock);
            continue;
        }
        return OpenReady(lock, found->second, ordinal);
    }

    slots_[ordinal].readers = 1;
    lock.unlock();
    const fs::path file = FileOf(ordinal);
    Opened opened;
    try {
        opened.outcome = fetch_(ordinal, file);
    } catch (...) {
        // Waiters must not wait for a fetch that is gone.
        lock.lock();
        slots_.erase(ordinal);
        fetched_.notify_all();
        throw;
    }
    if (opened.outcome.ok()) {
        opened.file = platform::OpenFileSharedForReading(file);
        if (!opened.file.valid()) opened.outcome = CannotOpenCopy(ordinal);
    }
    std::error_code error;
    const std::uint64_t bytes = opened.outcome.ok() ? fs::file_size(file, error) : 0;
    lock.lock();
    if (opened.outcome.ok()) {
        Slot& ready = slots_[ordinal];
        ready.state = State::Ready;
        ready.bytes = bytes;
        bytes_ += bytes;
        Shrink();
    } else {
        slots_.erase(ordinal);
        fs::remove(file, error);
    }
    fetched_.notify_all();
    return opened;
}

std::optional<MemberCache::Opened> MemberCache::OpenCached(std::int32_t ordinal) {
    std::unique_lock lock(mutex_);
    const auto found = slots_.find(ordinal);
    if (found == slots_.end() || found->second.state != State::Ready) return std::nullopt;
    return OpenReady(lock, found->second, ordinal);
}

MemberCache::Opened MemberCache::OpenReady(std::unique_lock<std::mutex>& lock, Slot& ready, std::int32_t ordinal) {
    if (ready.readers++ == 0) closed_.erase(ready.recent);
    Opened opened;
    opened.file = platform::OpenFileSharedForReading(FileOf(ordinal, ready.arrived));
    if (!opened.file.valid()) {
        opened.outcome = CannotOpenCopy(ordinal);
        lock.unlock();
        Close(ordinal);
    }
    return opened;
}

void MemberCache::Close(std::int32_t ordinal) {
    std::lock_guard lock(mutex_);
    const auto slot = slots_.find(ordinal);
    if (slot == slots_.end() || slot->second.readers == 0) return;
    if (--slot->second.readers == 0) slot->second.recent = closed_.insert(closed_.end(), ordinal);
    Shrink();
}

bool MemberCache::Adopt(std::int32_t ordinal) {
    const fs::path file = FileOf(ordinal, true);
    std::error_code error;
    const std::uint64_t bytes = fs::file_size(file, error);
    if (error) return false;
    std::lock_guard lock(mutex_);
    if (slots_.count(ordinal)) {
        fs::remove(file, error);
        return true;
    }
    Slot& ready = slots_[ordinal];
    ready.state = State::Ready;
    ready.arrived = true;
    ready.bytes = bytes;
    ready.recent = closed_.insert(closed_.end(), ordinal);
    bytes_ += bytes;
    Shrink();
    return true;
}

void MemberCache::Shrink() {
    while (bytes_ > capacity_ && !closed_.empty()) {
        const std::int32_t oldest = closed_.front();
        closed_.pop_front();
        const auto slot = slots_.find(oldest);
        bytes_ -= slot->second.bytes;
        const fs::path file = FileOf(oldest, slot->second.arrived);
        slots_.erase(slot);
        std::error_code ignored;
        fs::remove(file, ignored);
    }
}

}  // namespace DosTree
