// Process entry: command line, locale, memory cap, reply channel, then the
// request loop.
#include <archive.h>

#include <string>
#include <string_view>

#include "helper/command_line.h"
#include "helper/protocol_channel.h"
#include "helper/request_loop.h"
#include "platform/platform.h"

namespace {

// Each start-up message is one line in one write, so that it cannot be torn
// apart by other output on standard error.
void WriteLine(int descriptor, std::string_view line) { platform::WriteSome(descriptor, line.data(), line.size()); }

bool SetUtf8Locale() {
    for (const char* name : {"C.UTF-8", "C.utf8", "UTF-8", ".UTF-8", "en_US.UTF-8"}) {
        if (platform::SetCharacterTypeLocale(name)) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    // First, since it may start the program again.
    platform::SteadyAllocator(argv);
    const ArchiveHelper::CommandLine line = ArchiveHelper::ParseCommandLine(argc, argv);
    if (!SetUtf8Locale()) WriteLine(2, "archive helper: no UTF-8 locale, names outside ASCII are refused\n");
    if (line.usage_error) {
        WriteLine(2, ArchiveHelper::kUsageLine);
        return 2;
    }
    if (line.version) {
        const std::string version = std::string("ombrex-archive-helper 1 (") + archive_version_details() + ")\n";
        WriteLine(1, version);
        return 0;
    }
    if (line.memory_limit_mb > 0 &&
        !platform::ApplyMemoryCap(static_cast<std::uint64_t>(line.memory_limit_mb) * 1048576u)) {
        WriteLine(2, "archive helper: cannot apply the memory cap\n");
        return 3;
    }
    platform::SetBinaryMode(0);
    platform::SetBinaryMode(1);
    // A parent that closes the reply pipe then makes a write fail instead of
    // killing the helper.
    platform::IgnoreBrokenPipe();
    if (!ArchiveHelper::OpenProtocolChannel()) {
        WriteLine(2, "archive helper: cannot set up the protocol stream\n");
        return 2;
    }
    return ArchiveHelper::RunRequestLoop(0, line.test_hooks);
}
