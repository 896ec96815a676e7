// SHA-256 throughput, and the fingerprint of a 65,536-member index.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "mount/archive_fingerprint.h"
#include "mount/sha256.h"

namespace {

void BM_Sha256Hex(benchmark::State& state) {
    std::string text(static_cast<std::size_t>(state.range(0)), '\0');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 131 + 7);
    for (auto _ : state) benchmark::DoNotOptimize(ArchiveMount::Sha256Hex(text));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Sha256Hex)->Arg(64)->Arg(4096)->Arg(1 << 20)->Arg(16 << 20);

void BM_FingerprintOf65536Members(benchmark::State& state) {
    // Items view their paths, as they view an index's entries.
    std::vector<std::string> paths;
    std::vector<ArchiveMount::ManifestItem> items;
    paths.reserve(65536);
    // Listed in reverse so the sort has work to do.
    for (int i = 65535; i >= 0; --i) {
        paths.push_back("games/level" + std::to_string(i % 64) + "/member_" + std::to_string(i) + ".dat");
        items.push_back({paths.back(), i * 1000LL, 0x5A2B6C3Du + static_cast<unsigned>(i), i % 7 != 0,
                         static_cast<std::uint32_t>(i) * 2654435761u});
    }
    for (auto _ : state) benchmark::DoNotOptimize(ArchiveMount::ComputeFingerprint(items, 1u << 30));
    state.SetItemsProcessed(state.iterations() * static_cast<long long>(items.size()));
}
BENCHMARK(BM_FingerprintOf65536Members)->Unit(benchmark::kMillisecond);

}  // namespace
