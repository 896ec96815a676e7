// Indexing ZIP archives of many small members: the open in process, and the
// whole helper process from start to CloseRequest.
#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client/helper_process.h"
#include "client/request_encoding.h"
#include "mount/archive_index.h"
#include "support/archive_builder.h"
#include "support/temp_dir.h"

namespace {

// One archive per member count, written once for the whole run. Members sit
// in 100 directories, as in a game's data tree.
const std::filesystem::path& ArchiveOf(int members) {
    static testsupport::TempDir dir;
    static std::map<int, std::filesystem::path> archives;
    auto found = archives.find(members);
    if (found != archives.end()) return found->second;
    std::vector<testsupport::Member> list;
    list.reserve(members);
    for (int i = 0; i < members; ++i)
        list.push_back(
            {"data" + std::to_string(i % 100) + "/member " + std::to_string(i) + ".txt", "small " + std::to_string(i)});
    const std::string name = "many" + std::to_string(members) + ".zip";
    return archives[members] = dir.WriteFile(name, testsupport::BuildArchive(testsupport::Container::ZipDeflate, list));
}

ArchiveMount::OpenLimits Limits() { return {1 << 20, 1LL << 40, 1LL << 40}; }

void BM_OpenArchivePath(benchmark::State& state) {
    const auto& archive = ArchiveOf(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        ArchiveMount::OpenResult out;
        ArchiveMount::OpenArchivePath(out, archive, Limits());
        if (out.error != ArchiveMount::Error::Ok) state.SkipWithError(out.message.c_str());
        benchmark::DoNotOptimize(out.reader);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_OpenArchivePath)->Arg(20000)->Arg(65536)->Unit(benchmark::kMillisecond);

// Start, OpenRequest, IndexReply, CloseRequest and the exit: what the parent waits for.
void BM_HelperProcess(benchmark::State& state) {
    const auto& archive = ArchiveOf(static_cast<int>(state.range(0)));
    ArchiveHelper::OpenRequest request;
    request.path = archive.string();
    request.limits = Limits();
    const std::vector<unsigned char> payload = HelperClient::EncodeOpenRequest(request);
    for (auto _ : state) {
        std::string message;
        auto helper = HelperClient::HelperProcess::Start({OMBREX_HELPER_BINARY, {}, {}, false}, &message);
        if (!helper) {
            state.SkipWithError(message.c_str());
            break;
        }
        helper->SendRequest(ArchiveHelper::MessageType::OpenRequest, payload);
        const auto index = helper->ReadIndex(std::chrono::seconds(60));
        if (!index || index->entries.size() < static_cast<std::size_t>(state.range(0))) {
            state.SkipWithError("no index reply");
            break;
        }
        helper->SendRequest(ArchiveHelper::MessageType::CloseRequest, {});
        helper->Wait(std::chrono::seconds(60));
    }
}
BENCHMARK(BM_HelperProcess)->Arg(20000)->Unit(benchmark::kMillisecond);

}  // namespace
