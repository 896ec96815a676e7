// Everything the process logs, for tests that check log lines.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

struct LogRecord {
    int level;
    std::string component;
    std::string message;
};

class LogRecorder {
public:
    // Starts recording on first use and keeps recording until the process ends.
    static LogRecorder& Instance();

    // A mark to pass to Since.
    std::size_t Mark();
    // The records logged after `mark`.
    std::vector<LogRecord> Since(std::size_t mark);
    // How many records with exactly this message were logged after `mark`.
    std::size_t CountSince(std::size_t mark, const std::string& message);

private:
    LogRecorder();
    std::mutex mutex_;
    std::vector<LogRecord> records_;
};

}  // namespace testsupport
