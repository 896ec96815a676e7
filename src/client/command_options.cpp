#include "client/command_options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

namespace HelperClient {

const char* const kUsageText =
    "usage: ombrex-archive [OPTIONS] COMMAND ARGUMENTS\n"
    "\n"
    "Opens an archive through ombrex-archive-helper and shows or extracts it\n"
    "the way a DOS program sees it: every member under a unique 8.3 path.\n"
    "\n"
    "commands:\n"
    "  list ARCHIVE              ordinal, DOS path, size, time, CRC and archive path\n"
    "                            of every entry (--json: the same as JSON)\n"
    "  info ARCHIVE              kind, sizes, fingerprint, identity, entry count\n"
    "  extract ARCHIVE MEMBER OUT\n"
    "                            write one member to the file OUT (or into OUT when\n"
    "                            it is a directory); MEMBER is an archive path, a\n"
    "                            DOS path (any case, \\ or /) or an ordinal (#N or N)\n"
    "  extract-all ARCHIVE DIR   lay the whole DOS tree out below DIR\n"
    "  mount ARCHIVE MOUNTPOINT  serve the DOS tree read-only at the empty directory\n"
    "                            MOUNTPOINT through FUSE, members read on demand,\n"
    "                            until unmounted (Ctrl-C, SIGTERM, fusermount3 -u)\n"
    "  hello                     print the helper's protocol and library versions\n"
    "\n"
    "options:\n"
    "  --json                    list as JSON\n"
    "  --max-entries N           refuse archives with more entries (default 65536)\n"
    "  --max-total-bytes SIZE    refuse archives declaring more in all (default 4G)\n"
    "  --max-member-bytes SIZE   refuse archives with a larger member (default 2G)\n"
    "                            SIZE is bytes, or a number with K, M, G or T\n"
    "  --memory-limit-mb N       run the helper under a memory cap of N MiB\n"
    "  --window OFFSET:LENGTH    the archive is that byte range of the file\n"
    "  --timeout SECONDS         wait at most this long for each reply (default 300)\n"
    "  --stats                   report the helper's exit and peak memory on stderr\n"
    "  --cache-size SIZE         what a mount keeps materialized (default 1G)\n"
    "  --cache-dir DIR           where a mount keeps its private cache\n"
    "                            (default: the temporary directory)\n"
    "  --helper PATH             the helper binary (default: beside this program)\n"
    "  --help                    print this text\n"
    "\n"
    "exit codes: 0 done, 1 the archive or a member could not be served or written,\n"
    "2 usage error, 3 the helper failed or did not answer in time\n";

namespace {

bool ParseCount(std::string_view text, std::int64_t& out) {
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc() && end == text.data() + text.size() && out >= 0;
}

// Bytes with an optional binary suffix: 300M, 4G.
bool ParseSize(std::string_view text, std::int64_t& out) {
    int shift = 0;
    if (!text.empty()) {
        switch (text.back()) {
            case 'K': case 'k': shift = 10; break;
            case 'M': case 'm': shift = 20; break;
            case 'G': case 'g': shift = 30; break;
            case 'T': case 't': shift = 40; break;
            default: break;
        }
        if (shift != 0) text.remove_suffix(1);
    }
    std::int64_t value = 0;
    if (!ParseCount(text, value) || value > (INT64_MAX >> shift)) return false;
    out = value << shift;
    return true;
}

bool ParseWindow(std::string_view text, ArchiveMount::ArchiveWindow& out) {
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) return false;
    std::int64_t offset = 0, length = 0;
    if (!ParseSize(text.substr(0, colon), offset) || !ParseSize(text.substr(colon + 1), length) || length == 0) {
        return false;
    }
    out = {offset, length, true};
    return true;
}

bool ParseSeconds(const std::string& text, std::chrono::milliseconds& out) {
    double seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !(seconds > 0) ||
        seconds > 1e7) {
        return false;
    }
    out = std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000)));
    return true;
}

struct CommandShape {
    std::string_view name;
    Command command;
    std::size_t operands;
    const char* synopsis;
};

constexpr CommandShape kCommands[] = {
    {"hello", Command::Hello, 0, "hello"},
    {"list", Command::List, 1, "list ARCHIVE"},
    {"info", Command::Info, 1, "info ARCHIVE"},
    {"extract", Command::Extract, 3, "extract ARCHIVE MEMBER OUT"},
    {"extract-all", Command::ExtractAll, 2, "extract-all ARCHIVE DIR"},
    {"mount", Command::Mount, 2, "mount ARCHIVE MOUNTPOINT"},
};

}  // namespace

bool ParseCommandOptions(const std::vector<std::string>& arguments, CommandOptions& out, std::string* message) {
    auto fail = [message](std::string text) {
        if (message) *message = std::move(text);
        return false;
    };
    std::vector<std::string> words;
    bool options_ended = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (options_ended || argument.size() < 2 || argument.compare(0, 2, "--") != 0) {
            words.push_back(argument);
            continue;
        }
        if (argument == "--") {
            options_ended = true;
            continue;
        }
        if (argument == "--help") {
            out.help = true;
            return true;
        }
        if (argument == "--json") {
            out.json = true;
            continue;
        }
        if (argument == "--stats") {
            out.stats = true;
            continue;
        }
        static const std::string_view kValued[] = {"--helper",           "--max-entries", "--max-total-bytes",
                                                   "--max-member-bytes", "--memory-limit-mb", "--window",
                                                   "--timeout",          "--cache-size",  "--cache-dir"};
        if (std::find(std::begin(kValued), std::end(kValued), argument) == std::end(kValued)) {
            return fail("unknown option " + argument);
        }
        if (i + 1 >= arguments.size()) return fail(argument + " needs a value");
        const std::string& value = arguments[++i];
        bool ok = true;
        if (argument == "--helper") {
            out.helper = value;
            ok = !value.empty();
        } else if (argument == "--max-entries") {
            ok = ParseCount(value, out.limits.max_entries);
        } else if (argument == "--max-total-bytes") {
            ok = ParseSize(value, out.limits.max_total_bytes);
        } else if (argument == "--max-member-bytes") {
            ok = ParseSize(value, out.limits.max_member_bytes);
        } else if (argument == "--memory-limit-mb") {
            // The helper's own range.
            ok = ParseCount(value, out.memory_limit_mb) && out.memory_limit_mb >= 1 && out.memory_limit_mb <= 1048576;
        } else if (argument == "--window") {
            ok = ParseWindow(value, out.window);
        } else if (argument == "--timeout") {
            ok = ParseSeconds(value, out.timeout);
        } else if (argument == "--cache-size") {
            ok = ParseSize(value, out.cache_bytes);
        } else if (argument == "--cache-dir") {
            out.cache_dir = value;
            ok = !value.empty();
        }
        if (!ok) return fail("bad value for " + argument + ": '" + value + "'");
    }
    if (words.empty()) return fail("no command given");
    for (const CommandShape& shape : kCommands) {
        if (words[0] != shape.name) continue;
        if (words.size() - 1 != shape.operands) return fail(std::string("usage: ombrex-archive ") + shape.synopsis);
        if (out.json && shape.command != Command::List) return fail("--json goes with list only");
        out.command = shape.command;
        out.operands.assign(words.begin() + 1, words.end());
        return true;
    }
    return fail("unknown command '" + words[0] + "'");
}

}  // namespace HelperClient
