// One archive through a real helper process: open, then materialize all.
// corpus-sweep-driver HELPER ARCHIVE SCRATCH_DIR
// Prints "open <code> <message> | all <code> <message>" and exits 0, or
// prints "VIOLATION: ..." and exits 1 when the helper crashed, hung, spoke
// out of protocol, answered a code outside 0..13, broke an index or output
// property, or its standard error holds a sanitizer report.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "client/helper_process.h"
#include "client/reply_decoding.h"
#include "client/request_encoding.h"
#include "index_checks.h"

namespace {

using namespace std::chrono_literals;
using ArchiveHelper::MessageType;

constexpr auto kReplyTimeout = 120s;

struct Sweep {
    std::unique_ptr<HelperClient::HelperProcess> helper;
    std::string line;

    int Violation(const std::string& what) {
        std::printf("VIOLATION: %s%s%s\n", what.c_str(), line.empty() ? "" : " after ", line.c_str());
        if (helper) std::printf("--- helper standard error ---\n%s\n", helper->StandardError().c_str());
        return 1;
    }

    // The reply's code must be a status the helper may send.
    bool Status(const HelperClient::Frame& frame, ArchiveHelper::StatusReply& out) {
        return frame.type == MessageType::StatusReply && HelperClient::DecodeStatusReply(frame.payload, out) &&
               static_cast<int>(out.code) <= 13;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: corpus-sweep-driver HELPER ARCHIVE SCRATCH_DIR\n");
        return 2;
    }
    Sweep sweep;
    std::string message;
    sweep.helper = HelperClient::HelperProcess::Start({argv[1], {}, {}, false}, &message);
    if (!sweep.helper) return sweep.Violation("cannot start the helper: " + message);
    HelperClient::HelperProcess& helper = *sweep.helper;

    ArchiveHelper::OpenRequest open;
    open.path = std::filesystem::absolute(argv[2]).string();
    helper.SendRequest(MessageType::OpenRequest, HelperClient::EncodeOpenRequest(open));
    HelperClient::Frame frame;
    if (helper.ReadFrame(frame, kReplyTimeout) != HelperClient::ReadResult::Frame)
        return sweep.Violation("no reply frame to the open");

    ArchiveHelper::StatusReply status;
    if (frame.type == MessageType::IndexReply) {
        ArchiveHelper::IndexSummary index;
        if (!HelperClient::DecodeIndexReply(frame.payload, index)) return sweep.Violation("malformed index reply");
        const std::string broken = ombrexfuzz::IndexViolation(index.entries, open.limits, index.declared_total);
        if (!broken.empty()) return sweep.Violation("index: " + broken);
        sweep.line = "open 0 (" + std::to_string(index.entries.size()) + " entries)";

        const std::filesystem::path out = std::filesystem::path(argv[3]) / "all";
        std::filesystem::remove_all(out);
        helper.SendRequest(MessageType::MaterializeAllRequest, HelperClient::EncodeMaterializeAllRequest(out.string()));
        if (helper.ReadFrame(frame, kReplyTimeout) != HelperClient::ReadResult::Frame)
            return sweep.Violation("no reply frame to materialize-all");
        if (!sweep.Status(frame, status)) return sweep.Violation("bad reply to materialize-all");
        const std::string output = ombrexfuzz::OutputViolation(out, index.entries, status.code == ArchiveMount::Error::Ok);
        if (!output.empty()) return sweep.Violation("output: " + output);
        sweep.line += " | all " + std::to_string(static_cast<int>(status.code)) + " " + status.message;
    } else {
        if (!sweep.Status(frame, status) || status.code == ArchiveMount::Error::Ok)
            return sweep.Violation("bad reply to the open");
        sweep.line = "open " + std::to_string(static_cast<int>(status.code)) + " " + status.message;
    }

    helper.SendRequest(MessageType::CloseRequest, {});
    const auto exit = helper.Wait(kReplyTimeout);
    if (!exit || !exit->exited || exit->code != 0)
        return sweep.Violation(exit ? "helper ended with " + HelperClient::DescribeExit(*exit) : "helper did not end");
    for (const char* report : {"AddressSanitizer", "LeakSanitizer", "runtime error:", "UndefinedBehaviorSanitizer"})
        if (helper.StandardError().find(report) != std::string::npos) return sweep.Violation("sanitizer report");
    std::printf("%s\n", sweep.line.c_str());
    return 0;
}
