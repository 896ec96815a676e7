// Process-wide logger: timestamped lines on standard error.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace tessra {

using Level = int;  // 0 TRACE, 1 DEBUG, 2 INFO, 3 WARN, 4 ERROR

// The name printed for a level; "?" outside 0..4.
const char* LevelName(int level);

// A sink for finished records.
class LogHandler {
public:
    virtual ~LogHandler() = default;
    virtual void Write(int level, const char* component, const std::string& message) = 0;
};

// Prints records at or above `min_level` to stderr, expanding `pattern`.
class StderrHandler : public LogHandler {
public:
    ~StderrHandler() override = default;
    void Write(int level, const char* component, const std::string& message) override;

    // Expands {timestamp}, {level}, {component} and {message} in `pattern`;
    // other placeholders and an unclosed brace are kept as they stand.
    std::string Format(int level, const char* component, const std::string& message) const;

    int min_level = 0;
    std::string pattern = "{timestamp} [{level}] {component}: {message}";
};

class Logger {
public:
    using Listener = std::function<void(int level, const char* component, const std::string& message)>;

    // The process-wide logger, created on first use.
    static Logger& Instance();

    // The level in force for a component (the default for unknown or null).
    int LevelFor(const char* component);

    // Formats with printf rules and delivers the record unless the component's
    // level filters it out, in which case nothing is formatted.
    void Log(int level, const char* component, const char* format, ...)
        __attribute__((format(printf, 4, 5)));

    // Delivers a finished message to every handler, then every listener.
    void Write(int level, const char* component, const std::string& message);

    // Adds a sink after the handlers; used by tests to see what was logged.
    void AddListener(Listener listener);

private:
    Logger();
    int LevelForLocked(const char* component) const;

    std::mutex mutex_;
    int default_level_ = 2;
    std::unordered_map<std::string, int> component_levels_;
    std::vector<std::shared_ptr<LogHandler>> handlers_;
    std::vector<Listener> listeners_;
};

// Local time now as "YYYY-MM-DD hh:mm:ss.mmm".
std::string Timestamp();

}  // namespace tessra
