#include "log/logger.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "platform/platform.h"

namespace tessra {

const char* LevelName(int level) {
    static const char* const kNames[] = {"TRACE", "DEBUG", "INFO", "WARN", "ERROR"};
    if (static_cast<unsigned>(level) > 4u) return "?";
    return kNames[level];
}

std::string Timestamp() {
    using namespace std::chrono;
    const long long ticks = duration_cast<duration<long long, std::ratio<1, 10000000>>>(
                                system_clock::now().time_since_epoch())
                                .count();
    const std::time_t seconds = static_cast<std::time_t>(ticks / 10000000);
    std::tm local{};
    platform::LocalTime(seconds, local);
    const int milliseconds = static_cast<int>(ticks / 10000 - static_cast<long long>(seconds) * 1000);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  milliseconds);
    return buffer;
}

std::string StderrHandler::Format(int level, const char* component, const std::string& message) const {
    std::string out;
    out.reserve(pattern.size() + message.size() + 32);
    std::size_t position = 0;
    while (position < pattern.size()) {
        const std::size_t open = pattern.find('{', position);
        if (open == std::string::npos) {
            out.append(pattern, position, std::string::npos);
            break;
        }
        out.append(pattern, position, open - position);
        const std::size_t close = pattern.find('}', open + 1);
        if (close == std::string::npos) {
            out.append(pattern, open, std::string::npos);
            break;
        }
        const std::string_view name(pattern.data() + open + 1, close - open - 1);
        if (name == "level") {
            out += LevelName(level);
        } else if (name == "message") {
            out += message;
        } else if (name == "timestamp") {
            out += Timestamp();
        } else if (name == "component") {
            out += component;
        } else {
            out.append(pattern, open, close - open + 1);
        }
        position = close + 1;
    }
    return out;
}

void StderrHandler::Write(int level, const char* component, const std::string& message) {
    if (level < min_level) return;
    // Written as a C string: a message is cut at an embedded NUL.
    std::fprintf(stderr, "%s\n", Format(level, component, message).c_str());
}

Logger::Logger() { handlers_.push_back(std::make_shared<StderrHandler>()); }

Logger& Logger::Instance() {
    static Logger logger;
    return logger;
}

int Logger::LevelForLocked(const char* component) const {
    if (component == nullptr) return default_level_;
    const auto found = component_levels_.find(component);
    return found == component_levels_.end() ? default_level_ : found->second;
}

int Logger::LevelFor(const char* component) {
    std::lock_guard<std::mutex> lock(mutex_);
    return LevelForLocked(component);
}

void Logger::Log(int level, const char* component, const char* format, ...) {
    if (LevelFor(component) > level) return;
    va_list arguments;
    va_start(arguments, format);
    va_list measuring;
    va_copy(measuring, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    std::string message;
    if (length <= 0) {
        message = format;
    } else {
        message.resize(static_cast<std::size_t>(length));
        std::vsnprintf(message.data(), static_cast<std::size_t>(length) + 1, format, arguments);
    }
    va_end(arguments);
    Write(level, component, message);
}

void Logger::Write(int level, const char* component, const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (component == nullptr) component = "";
    if (level < LevelForLocked(component)) return;
    for (const auto& handler : handlers_) handler->Write(level, component, message);
    for (const auto& listener : listeners_) listener(level, component, message);
}

void Logger::AddListener(Listener listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listeners_.push_back(std::move(listener));
}

}  // namespace tessra
