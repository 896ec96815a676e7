// Decode throughput of the legacy ZIP decoders on 64 MiB outputs from our
// test-side encoders (text-like data), one benchmark per stream kind.
#include "formats/explode.h"
#include "formats/unshrink.h"
#include "support/byte_stream.h"
#include "support/implode_encoder.h"
#include "support/sample_data.h"
#include "support/shrink_encoder.h"

#include <benchmark/benchmark.h>

#include <map>

namespace {

constexpr std::size_t kOutput = 64u << 20;

const std::vector<unsigned char>& Plain() {
    static const auto data = testsupport::WordText(kOutput, 11);
    return data;
}

// kind -1 is shrink, 0..3 are the implode flags >> 1.
const std::vector<unsigned char>& Stream(int kind) {
    static std::map<int, std::vector<unsigned char>> streams;
    auto& s = streams[kind];
    if (s.empty())
        s = kind < 0 ? testsupport::ShrinkEncode(Plain())
                     : testsupport::ImplodeEncode(Plain(), {(kind & 1) != 0, (kind & 2) != 0});
    return s;
}

void Decode(benchmark::State& state, int kind) {
    const auto& stream = Stream(kind);
    unsigned long long produced = 0;
    const LegacyZip::ByteSink sink = [&](const unsigned char*, unsigned long long n) {
        produced += n;
        return true;
    };
    for (auto _ : state) {
        const auto source = testsupport::VectorSource(stream);
        std::string error;
        const auto status = kind < 0 ? LegacyZip::Unshrink(source, kOutput, sink, &error)
                                     : LegacyZip::Explode(source, stream.size(), kOutput, (kind & 1) != 0,
                                                          (kind & 2) != 0, sink, &error);
        if (status != LegacyZip::Status::Ok) state.SkipWithError(error.c_str());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kOutput));
    state.counters["ratio"] = static_cast<double>(kOutput) / static_cast<double>(stream.size());
}

BENCHMARK_CAPTURE(Decode, Unshrink, -1)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK_CAPTURE(Decode, Explode4k2trees, 0)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK_CAPTURE(Decode, Explode8k2trees, 1)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK_CAPTURE(Decode, Explode4k3trees, 2)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK_CAPTURE(Decode, Explode8k3trees, 3)->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace
