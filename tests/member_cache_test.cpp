#include "dostree/member_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <thread>

#include "platform/platform.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using ArchiveMount::Error;
using HelperClient::Outcome;

// A fetch that writes `size` bytes of the ordinal's digit, counting calls;
// ordinal 13 fails as a damaged member would.
struct FakeArchive {
    std::map<std::int32_t, int> fetches;
    std::mutex mutex;
    std::chrono::milliseconds delay{0};

    DosTree::Fetch Fetch(std::uint64_t size) {
        return [this, size](std::int32_t ordinal, const fs::path& file) -> Outcome {
            {
                std::lock_guard lock(mutex);
                ++fetches[ordinal];
            }
            std::this_thread::sleep_for(delay);
            if (ordinal == 13) return {Error::Damaged, "CRC mismatch"};
            std::ofstream(file, std::ios::binary) << std::string(size, static_cast<char>('0' + ordinal % 10));
            return {};
        };
    }
};

std::string ReadAll(const platform::Descriptor& file) {
    std::string out(64, '\0');
    const long long got = platform::ReadAt(file.get(), out.data(), out.size(), 0);
    out.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return out;
}

std::size_t FilesIn(const fs::path& directory) {
    return static_cast<std::size_t>(std::count_if(fs::directory_iterator(directory), fs::directory_iterator(),
                                                  [](const fs::directory_entry& entry) { return entry.is_regular_file(); }));
}

TEST(MemberCache, FetchesOnceServesFromTheCopyAndGoesWithTheCache) {
    testsupport::TempDir dir;
    FakeArchive archive;
    fs::path directory;
    {
        std::string message;
        auto cache = DosTree::MemberCache::Create(dir.path(), 1 << 20, archive.Fetch(10), &message);
        ASSERT_TRUE(cache) << message;
        directory = cache->directory();
        EXPECT_EQ(fs::status(directory).permissions() & fs::perms::all, fs::perms::owner_all);
        for (int round = 0; round < 3; ++round) {
            auto opened = cache->Open(4);
            ASSERT_TRUE(opened.outcome.ok()) << opened.outcome.message;
            EXPECT_EQ(ReadAll(opened.file), std::string(10, '4'));
            cache->Close(4);
        }
        EXPECT_EQ(archive.fetches[4], 1);

        // A member that cannot be fetched: its failure each time, nothing kept.
        for (int round = 0; round < 2; ++round) {
            const auto failed = cache->Open(13);
            EXPECT_EQ(failed.outcome.code, Error::Damaged);
            EXPECT_EQ(failed.outcome.message, "CRC mismatch");
            EXPECT_FALSE(failed.file.valid());
        }
        EXPECT_EQ(archive.fetches[13], 2);
        EXPECT_EQ(FilesIn(directory), 1u);
    }
    EXPECT_FALSE(fs::exists(directory));
}

// Over its size, the cache lets go of members nobody has open, the least
// recently closed first; an open member stays however large the cache grew.
TEST(MemberCache, EvictsClosedMembersLeastRecentlyClosedFirst) {
    testsupport::TempDir dir;
    FakeArchive archive;
    std::string message;
    auto cache = DosTree::MemberCache::Create(dir.path(), 25, archive.Fetch(10), &message);
    ASSERT_TRUE(cache) << message;
    auto held = cache->Open(1);
    for (const int ordinal : {2, 3}) {
        ASSERT_TRUE(cache->Open(ordinal).outcome.ok());
        cache->Close(ordinal);
    }
    // 1 (open), 2 and 3 hold 30 bytes: 2 went, as the oldest closed.
    EXPECT_TRUE(fs::exists(cache->directory() / "1"));
    EXPECT_FALSE(fs::exists(cache->directory() / "2"));
    EXPECT_TRUE(fs::exists(cache->directory() / "3"));
    ASSERT_TRUE(cache->Open(3).outcome.ok());
    cache->Close(3);
    EXPECT_EQ(archive.fetches[3], 1);
    cache->Close(1);
    ASSERT_TRUE(cache->Open(2).outcome.ok());
    cache->Close(2);
    EXPECT_EQ(archive.fetches[2], 2);
    // The open copy still reads after its member was evicted on close.
    EXPECT_EQ(ReadAll(held.file), std::string(10, '1'));
}

// Files filled in ahead become members where they lie, without a fetch; one
// the cache has already is dropped; an adopted member is evicted like any.
TEST(MemberCache, AdoptedFilesServeWithoutAFetch) {
    testsupport::TempDir dir;
    FakeArchive archive;
    std::string message;
    auto cache = DosTree::MemberCache::Create(dir.path(), 15, archive.Fetch(10), &message);
    ASSERT_TRUE(cache) << message;
    ASSERT_TRUE(cache->Open(2).outcome.ok());
    EXPECT_FALSE(cache->Adopt(5)) << "nothing has arrived yet";
    for (const int ordinal : {2, 5}) {
        std::ofstream(cache->arrivals() / std::to_string(ordinal), std::ios::binary) << "ahead";
        EXPECT_TRUE(cache->Adopt(ordinal));
    }
    EXPECT_FALSE(fs::exists(cache->arrivals() / "2"));
    auto adopted = cache->Open(5);
    ASSERT_TRUE(adopted.outcome.ok());
    EXPECT_EQ(ReadAll(adopted.file), "ahead");
    auto kept = cache->Open(2);
    EXPECT_EQ(ReadAll(kept.file), std::string(10, '2'));
    EXPECT_EQ(archive.fetches.count(5), 0u);
    EXPECT_EQ(archive.fetches[2], 1);

    cache->Close(5);
    cache->Close(2);
    cache->Close(2);
    ASSERT_TRUE(cache->Open(3).outcome.ok());
    EXPECT_FALSE(fs::exists(cache->arrivals() / "5")) << "the adopted member outlived its eviction";
    cache->Close(3);
}

TEST(MemberCache, ConcurrentReadersOfOneMemberWaitForOneFetch) {
    testsupport::TempDir dir;
    FakeArchive archive;
    archive.delay = std::chrono::milliseconds(200);
    std::string message;
    auto cache = DosTree::MemberCache::Create(dir.path(), 1 << 20, archive.Fetch(10), &message);
    ASSERT_TRUE(cache) << message;
    std::atomic<int> served{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 4; ++i) {
        readers.emplace_back([&] {
            auto opened = cache->Open(6);
            if (opened.outcome.ok() && ReadAll(opened.file) == std::string(10, '6')) ++served;
            cache->Close(6);
        });
    }
    for (auto& reader : readers) reader.join();
    EXPECT_EQ(served, 4);
    EXPECT_EQ(archive.fetches[6], 1);
}

}  // namespace
