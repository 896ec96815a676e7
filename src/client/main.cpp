// ombrex-archive: talks to the archive helper from the command line.
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "client/helper_process.h"

namespace {

constexpr std::string_view kUsage =
    "usage: ombrex-archive [--helper PATH] COMMAND\n"
    "\n"
    "commands:\n"
    "  hello    start the helper and print what its hello reply says\n"
    "\n"
    "options:\n"
    "  --helper PATH  the helper binary (default: ombrex-archive-helper beside this program)\n"
    "  --help         print this text\n";

constexpr auto kReplyTimeout = std::chrono::seconds(30);

// The helper is built next to this tool.
std::string DefaultHelper(const char* argv0) {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) self = argv0;
    return (self.parent_path() / "ombrex-archive-helper").string();
}

int Hello(const std::string& helper) {
    std::string message;
    auto process = HelperClient::HelperProcess::Start({helper, {}, -1, false}, &message);
    if (!process) {
        std::fprintf(stderr, "ombrex-archive: %s\n", message.c_str());
        return 1;
    }
    if (!process->SendRequest(ArchiveHelper::MessageType::HelloRequest, {})) {
        std::fprintf(stderr, "ombrex-archive: the helper does not take requests\n");
        return 1;
    }
    const auto reply = process->ReadHello(kReplyTimeout);
    process->CloseInput();
    const auto status = process->Wait(kReplyTimeout);
    if (!reply) {
        std::fprintf(stderr, "ombrex-archive: no hello reply from the helper (%s)\n%s",
                     status ? HelperClient::DescribeExit(*status).c_str() : "still running",
                     process->StandardError().c_str());
        return 1;
    }
    std::printf("protocol version: %u\n", static_cast<unsigned>(reply->protocol_version));
    std::printf("archive library version number: %u\n", static_cast<unsigned>(reply->library_version));
    std::printf("archive library details: %s\n", reply->library_details.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string helper = DefaultHelper(argv[0]);
    std::string command;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "--help") {
            std::fputs(kUsage.data(), stdout);
            return 0;
        }
        if (argument == "--helper" && i + 1 < argc) {
            helper = argv[++i];
        } else if (command.empty() && argument == "hello") {
            command = argument;
        } else {
            std::fputs(kUsage.data(), stderr);
            return 2;
        }
    }
    if (command.empty()) {
        std::fputs(kUsage.data(), stderr);
        return 2;
    }
    return Hello(helper);
}
