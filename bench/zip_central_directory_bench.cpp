// Reading and checking a large central directory: one tail read, one
// directory read and one 30-byte read per local header.
#include <benchmark/benchmark.h>

#include <string>

#include "formats/zip_central_directory.h"
#include "support/scratch_file.h"
#include "support/zip_image_writer.h"

namespace {

using namespace testsupport;

void BM_ReadCentralDirectory(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    ZipImageWriter writer;
    for (std::size_t i = 0; i < count; ++i) {
        writer.Add(StoredEntry("DIR" + std::to_string(i / 1000) + "/FILE" + std::to_string(i) + ".TXT", Pattern(16)));
    }
    writer.Zip64();  // more than 65,535 records need the ZIP64 end record
    ScratchFile file(writer.Build());
    for (auto _ : state) {
        const ZipCentralDirectory::Result result = ZipCentralDirectory::Read(file.descriptor(), count);
        if (result.status != ZipCentralDirectory::Status::Ok || result.records.size() != count) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(result.records.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}
BENCHMARK(BM_ReadCentralDirectory)->Arg(65536)->Unit(benchmark::kMillisecond);

}  // namespace
