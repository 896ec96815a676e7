#include "support/log_recorder.h"

#include <algorithm>

#include "log/logger.h"

namespace testsupport {

LogRecorder& LogRecorder::Instance() {
    static LogRecorder recorder;
    return recorder;
}

LogRecorder::LogRecorder() {
    tessra::Logger::Instance().AddListener([this](int level, const char* component, const std::string& message) {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back({level, component ? component : "", message});
    });
}

std::size_t LogRecorder::Mark() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_.size();
}

std::vector<LogRecord> LogRecorder::Since(std::size_t mark) {
    std::lock_guard<std::mutex> lock(mutex_);
    return {records_.begin() + static_cast<std::ptrdiff_t>(std::min(mark, records_.size())), records_.end()};
}

std::size_t LogRecorder::CountSince(std::size_t mark, const std::string& message) {
    const auto records = Since(mark);
    return static_cast<std::size_t>(
        std::count_if(records.begin(), records.end(), [&](const LogRecord& r) { return r.message == message; }));
}

}  // namespace testsupport
