// Members materialized on demand into a private cache directory: fetched
// whole on first use, served from there afterwards, bounded in size, and
// gone with the cache.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "client/archive_session.h"
#include "platform/owners.h"

namespace DosTree {

// Puts member `ordinal` into `file` whole, or leaves no file there; Ok or the
// failure's code and message.
using Fetch = std::function<HelperClient::Outcome(std::int32_t ordinal, const std::filesystem::path& file)>;

class MemberCache {
public:
    // A new directory of our own below `parent`; null with a message when it
    // cannot be made. Members closed by every reader are evicted, least
    // recently used first, while the cache holds more than `capacity` bytes.
    static std::unique_ptr<MemberCache> Create(const std::filesystem::path& parent, std::uint64_t capacity,
                                               Fetch fetch, std::string* message);
    // Removes the directory and everything in it.
    ~MemberCache();
    MemberCache(const MemberCache&) = delete;
    MemberCache& operator=(const MemberCache&) = delete;

    struct Opened {
        platform::Descriptor file;  // read-only, on the cached copy
        HelperClient::Outcome outcome;
    };
    // Opens member `ordinal` for one reader, fetching it first unless cached.
    // Readers of a member that is being fetched wait for that one fetch. Each
    // successful Open is matched by one Close.
    Opened Open(std::int32_t ordinal);
    // The same for a member cached already; nullopt, at once, for one that
    // is not, or is being fetched.
    std::optional<Opened> OpenCached(std::int32_t ordinal);
    void Close(std::int32_t ordinal);

    // A directory inside the cache where complete member files named by
    // ordinal may be put for Adopt.
    const std::filesystem::path& arrivals() const { return arrivals_; }
    // Takes the file arrivals()/`ordinal` as that member where it lies, unless
    // the cache has or is fetching that member already, in which case the
    // file is removed. False when there is no such file.
    bool Adopt(std::int32_t ordinal);

    const std::filesystem::path& directory() const { return directory_; }

private:
    enum class State { Fetching, Ready };
    struct Slot {
        State state = State::Fetching;
        int readers = 0;
        std::uint64_t bytes = 0;
        bool arrived = false;                      // adopted: its file is in arrivals_
        std::list<std::int32_t>::iterator recent;  // valid while closed by every reader
    };

    MemberCache(std::filesystem::path directory, std::uint64_t capacity, Fetch fetch);
    std::filesystem::path FileOf(std::int32_t ordinal, bool arrived = false) const;
    // Opens the cached copy of `ready` for one more reader; call locked
    // (unlocks on failure).
    Opened OpenReady(std::unique_lock<std::mutex>& lock, Slot& ready, std::int32_t ordinal);
    // Evicts closed members, oldest first, until the cache fits; call locked.
    void Shrink();

    const std::filesystem::path directory_;
    const std::filesystem::path arrivals_;
    const std::uint64_t capacity_;
    const Fetch fetch_;
    std::mutex mutex_;
    std::condition_variable fetched_;
    std::map<std::int32_t, Slot> slots_;
    std::list<std::int32_t> closed_;  // least recently closed first
    std::uint64_t bytes_ = 0;
};

}  // namespace DosTree
