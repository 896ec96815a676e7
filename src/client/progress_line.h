// A one-line progress display on a terminal, redrawn in place at most a few
// times a second; silent when the stream is no terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace HelperClient {

class ProgressLine {
public:
    // `enabled` false makes every call a no-op (no terminal, small archive).
    ProgressLine(std::FILE* stream, bool enabled) : stream_(stream), enabled_(enabled) {}
    ~ProgressLine() { Finish(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // "VERB: d/t files, x/y MiB"; drawn when 200 ms passed since the last draw.
    void Show(const char* verb, std::size_t done, std::size_t total, std::uint64_t bytes_done,
              std::uint64_t bytes_total);
    // Clears the line so that what follows starts clean.
    void Finish();

private:
    std::FILE* stream_;
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_{};
};

// Whether `stream` is a terminal.
bool IsTerminal(std::FILE* stream);

}  // namespace HelperClient
