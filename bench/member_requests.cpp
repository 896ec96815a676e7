// member-requests: drives the helper through the client session to time
// member requests from the parent's side, for bench/run.sh.
//
//   member-requests curve ARCHIVE OUTDIR N   mean ms per request for N first,
//                                            N middle, N last, N random members
//   member-requests every ARCHIVE OUTDIR     every file member once, one request
//                                            each; total seconds
//   member-requests all ARCHIVE OUTDIR       one MaterializeAllRequest
//   member-requests request-file ARCHIVE FILE  an OpenRequest frame to FILE
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "client/archive_session.h"
#include "client/request_encoding.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using HelperClient::ArchiveSession;
using HelperClient::Outcome;

// The open and the close are frames too; 255 answered frames leave the
// CloseRequest room inside the helper's 256.
constexpr std::size_t kRequestsPerHelper = 254;

constexpr char kUsage[] =
    "usage: member-requests curve ARCHIVE OUTDIR N | every ARCHIVE OUTDIR | all ARCHIVE OUTDIR |"
    " request-file ARCHIVE FILE\n";

// Thrown for anything that makes a measurement meaningless; main reports it.
struct Failure {
    std::string text;
};

std::string Describe(const Outcome& outcome) {
    std::string text = ArchiveMount::ErrorText(outcome.code) + std::string(" (code ") +
                       std::to_string(static_cast<int>(outcome.code)) + ")";
    if (!outcome.message.empty()) text += ": " + outcome.message;
    return text;
}

// Large enough for every bench input: the defaults stop at 65,536 entries.
ArchiveHelper::OpenRequest OpenRequestFor(const fs::path& archive) {
    ArchiveHelper::OpenRequest request;
    request.path = fs::absolute(archive).string();
    request.limits = {1 << 22, 1LL << 40, 1LL << 40};
    return request;
}

// One helper with the archive open; ends the helper on the way out and
// insists that it ended cleanly.
class OpenArchive {
public:
    explicit OpenArchive(const fs::path& archive) {
        HelperClient::SessionOptions options;
        options.helper_binary = OMBREX_HELPER_BINARY;
        Outcome failure;
        session_ = ArchiveSession::Start(options, &failure);
        if (!session_) throw Failure{"cannot start the helper: " + Describe(failure)};
        const Outcome outcome = session_->Open(OpenRequestFor(archive), index_);
        if (!outcome.ok()) throw Failed("open " + archive.string(), outcome);
    }

    void Materialize(std::uint32_t ordinal, const fs::path& file) {
        const Outcome outcome = session_->Materialize(ordinal, file.string());
        if (!outcome.ok()) throw Failed("member #" + std::to_string(ordinal), outcome);
    }

    void MaterializeAll(const fs::path& directory) {
        const Outcome outcome = session_->MaterializeAll(directory.string());
        if (!outcome.ok()) throw Failed("materialize-all", outcome);
    }

    void Finish() {
        const auto status = session_->Finish();
        if (!status || !status->exited || status->code != 0) {
            throw Failure{"the helper did not end cleanly" +
                          (status ? " (" + HelperClient::DescribeExit(*status) + ")" : std::string()) +
                          HelperLog()};
        }
    }

    const ArchiveHelper::IndexSummary& index() const { return index_; }

private:
    Failure Failed(const std::string& what, const Outcome& outcome) {
        return Failure{what + ": " + Describe(outcome) + HelperLog()};
    }

    std::string HelperLog() {
        const std::string& log = session_->helper_log();
        return log.empty() ? std::string() : "\nhelper log:\n" + log;
    }

    std::unique_ptr<ArchiveSession> session_;
    ArchiveHelper::IndexSummary index_;
};

// File members' ordinals in index order.
std::vector<std::uint32_t> FileOrdinals(const ArchiveHelper::IndexSummary& index) {
    std::vector<std::uint32_t> ordinals;
    for (const auto& entry : index.entries) {
        if (!entry.is_dir) ordinals.push_back(static_cast<std::uint32_t>(entry.ordinal));
    }
    return ordinals;
}

int Curve(const fs::path& archive, const fs::path& out, std::size_t per_group) {
    if (per_group == 0 || 4 * per_group > kRequestsPerHelper) {
        throw Failure{"N must be 1.." + std::to_string(kRequestsPerHelper / 4) + " to fit one helper"};
    }
    OpenArchive open(archive);
    const auto files = FileOrdinals(open.index());
    if (files.size() < per_group) throw Failure{archive.string() + ": fewer than N file members"};

    const std::size_t middle = files.size() / 2 - std::min(files.size() / 2, per_group / 2);
    std::mt19937 random(20261210);
    std::uniform_int_distribution<std::size_t> any(0, files.size() - 1);
    struct Group {
        const char* name;
        std::vector<std::uint32_t> ordinals;
    };
    std::vector<Group> groups{{"first", {}}, {"middle", {}}, {"last", {}}, {"random", {}}};
    for (std::size_t i = 0; i < per_group; ++i) {
        groups[0].ordinals.push_back(files[i]);
        groups[1].ordinals.push_back(files[middle + i]);
        groups[2].ordinals.push_back(files[files.size() - per_group + i]);
        groups[3].ordinals.push_back(files[any(random)]);
    }

    // A fresh file per request: the random group may repeat a member.
    std::size_t request = 0;
    for (const auto& group : groups) {
        Clock::duration spent{};
        for (const std::uint32_t ordinal : group.ordinals) {
            const fs::path file = out / ("request-" + std::to_string(request++));
            const auto start = Clock::now();
            open.Materialize(ordinal, file);
            spent += Clock::now() - start;
        }
        const double ms = std::chrono::duration<double, std::milli>(spent).count() / group.ordinals.size();
        std::printf("%s %.3f\n", group.name, ms);
    }
    open.Finish();
    return 0;
}

int Every(const fs::path& archive, const fs::path& out) {
    const auto start = Clock::now();
    auto open = std::make_unique<OpenArchive>(archive);
    const auto files = FileOrdinals(open->index());
    std::size_t helpers = 1;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (i > 0 && i % kRequestsPerHelper == 0) {
            open->Finish();
            open = std::make_unique<OpenArchive>(archive);
            ++helpers;
            if (FileOrdinals(open->index()) != files) throw Failure{"the index changed between helpers"};
        }
        open->Materialize(files[i], out / std::to_string(files[i]));
    }
    open->Finish();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("seconds %.3f\nmembers %zu\nhelpers %zu\n", seconds, files.size(), helpers);
    return 0;
}

int All(const fs::path& archive, const fs::path& out) {
    OpenArchive open(archive);
    open.MaterializeAll(out);
    open.Finish();
    return 0;
}

// Fed to the helper on its standard input: it answers and, at the end of
// the input, exits.
int RequestFile(const fs::path& archive, const fs::path& file) {
    const auto payload = HelperClient::EncodeOpenRequest(OpenRequestFor(archive));
    const auto frame = ArchiveHelper::EncodeFrame(ArchiveHelper::MessageType::OpenRequest, payload);
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    stream.write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
    stream.close();
    if (!stream) throw Failure{"cannot write " + file.string()};
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() == 4 && args[0] == "curve") {
            return Curve(args[1], fs::absolute(args[2]), std::stoul(args[3]));
        }
        if (args.size() == 3 && args[0] == "every") return Every(args[1], fs::absolute(args[2]));
        if (args.size() == 3 && args[0] == "all") return All(args[1], fs::absolute(args[2]));
        if (args.size() == 3 && args[0] == "request-file") return RequestFile(args[1], args[2]);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "member-requests: %s\n", failure.text.c_str());
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "member-requests: %s\n", error.what());
        return 1;
    }
    std::fputs(kUsage, stderr);
    return 2;
}
