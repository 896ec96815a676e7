#include "client/progress_line.h"

#include "platform/platform.h"

namespace HelperClient {

bool IsTerminal(std::FILE* stream) { return platform::TerminalTakesStatusLine(stream); }

void ProgressLine::Show(const char* verb, std::size_t done, std::size_t total, std::uint64_t bytes_done,
                        std::uint64_t bytes_total) {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    drawn_ = true;
    constexpr double kMiB = 1024.0 * 1024.0;
    std::fprintf(stream_, "\r\033[K%s: %zu/%zu files, %.1f/%.1f MiB", verb, done, total,
                 static_cast<double>(bytes_done) / kMiB, static_cast<double>(bytes_total) / kMiB);
    std::fflush(stream_);
}

void ProgressLine::Finish() {
    if (!drawn_) return;
    std::fputs("\r\033[K", stream_);
    std::fflush(stream_);
    drawn_ = false;
}

}  // namespace HelperClient
