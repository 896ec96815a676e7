// Naming one archive directory of 65,536 members: distinct names, bases
// shared by up to 999 members each, and one basis shared by all.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "mount/archive_path.h"
#include "mount/dos_names.h"
#include "mount/short_names.h"

namespace {

constexpr int kMembers = 65536;

// Four letters from the group number keep the bases of different groups
// apart even in their shortest tails ("ABCD~999.DAT").
std::string GroupPrefix(int group) {
    std::string prefix(4, 'a');
    for (int i = 3; i >= 0; --i, group /= 26) prefix[i] = static_cast<char>('a' + group % 26);
    return prefix;
}

std::vector<std::string> MemberPaths(int group_size) {
    std::vector<std::string> paths;
    paths.reserve(kMembers);
    for (int i = 0; i < kMembers; ++i) {
        paths.push_back("data/" + GroupPrefix(i / group_size) + " long member name " + std::to_string(i) + ".dat");
    }
    return paths;
}

// Splits every path and names its file in one DOS directory, as the walk does.
void NameDirectory(benchmark::State& state, const std::vector<std::string>& paths, int expected_named) {
    for (auto _ : state) {
        ArchiveMount::DosNameAllocator allocator;
        int named = 0;
        for (const std::string& path : paths) {
            const auto split = ArchiveMount::SplitArchivePath(path, nullptr);
            named += AssignDosName(allocator, "DATA", split.components.back()).ok ? 1 : 0;
        }
        if (named != expected_named) state.SkipWithError("unexpected number of names given out");
        benchmark::DoNotOptimize(allocator);
    }
    state.SetItemsProcessed(state.iterations() * kMembers);
}

void BM_DistinctBases(benchmark::State& state) {
    std::vector<std::string> paths;
    for (int i = 0; i < kMembers; ++i) paths.push_back("data/f" + std::to_string(i) + ".dat");
    NameDirectory(state, paths, kMembers);
}
BENCHMARK(BM_DistinctBases)->Unit(benchmark::kMillisecond);

void BM_BasesSharedBy999(benchmark::State& state) { NameDirectory(state, MemberPaths(999), kMembers); }
BENCHMARK(BM_BasesSharedBy999)->Unit(benchmark::kMillisecond);

// Past the 999th member every assignment fails; each failure must stay cheap.
void BM_OneBasisForAll(benchmark::State& state) { NameDirectory(state, MemberPaths(kMembers), 999); }
BENCHMARK(BM_OneBasisForAll)->Unit(benchmark::kMillisecond);

void BM_MakeShortName(benchmark::State& state) {
    const std::vector<std::string> components = {"readme.txt", "Read Me First.txt", "archive.tar.gz",
                                                 "\xC3\xA9t\xC3\xA9 2024.doc", "LongFileName.Document"};
    int attempt = 0;
    for (auto _ : state) {
        for (const std::string& component : components) {
            benchmark::DoNotOptimize(ArchiveMount::MakeShortName(component, attempt % 999 + 1));
        }
        ++attempt;
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long long>(components.size()));
}
BENCHMARK(BM_MakeShortName);

}  // namespace
