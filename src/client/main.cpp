// ombrex-archive: opens archives through the archive helper from the command
// line; lists, describes and extracts them as a DOS program sees them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "client/archive_session.h"
#include "client/command_options.h"
#include "client/index_listing.h"
#include "client/member_lookup.h"
#include "client/mounted_archive.h"
#include "client/progress_line.h"
#include "client/tree_layout.h"
#include "platform/platform.h"
#ifdef OMBREX_HAVE_MOUNT
#include "dostree/fuse_mount.h"
#endif

namespace {

namespace fs = std::filesystem;
using ArchiveMount::Error;
using HelperClient::ArchiveSession;
using HelperClient::CommandOptions;
using HelperClient::MountedArchive;
using HelperClient::Outcome;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitHelper = 3;

// Archives this large get a progress line on a terminal.
constexpr std::int64_t kProgressBytes = 64LL << 20;
constexpr std::size_t kProgressFiles = 2000;

// Paths travel as UTF-8 (operands, requests, messages); the host's own form
// is made only where the file system is touched.
fs::path HostPath(const std::string& utf8) {
    auto path = platform::PathFromUtf8(utf8);
    return path ? *path : fs::path(utf8);
}

std::string Utf8(const fs::path& path) { return platform::PathToUtf8(path); }

// The helper is built next to this tool.
std::string DefaultHelper(const char* argv0) {
    return platform::PathToUtf8(platform::ProgramBeside(argv0, "ombrex-archive-helper"));
}

int Complain(const std::string& text) {
    std::fprintf(stderr, "ombrex-archive: %s\n", text.c_str());
    return kExitFailed;
}

// One line with the code's text, its number and the helper's message; the
// helper's own log follows when the helper itself failed.
int Report(const std::string& what, const Outcome& outcome, const std::string& helper_log) {
    std::string line = what + ": " + ArchiveMount::ErrorText(outcome.code) + " (code " +
                       std::to_string(static_cast<int>(outcome.code)) + ")";
    if (!outcome.message.empty()) line += ": " + outcome.message;
    Complain(line);
    const bool helper_failed = outcome.code == Error::HelperFailed || outcome.code == Error::HelperTimeout;
    if (helper_failed && !helper_log.empty()) std::fprintf(stderr, "helper log:\n%s", helper_log.c_str());
    return helper_failed ? kExitHelper : kExitFailed;
}

bool WriteOut(const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
}

class Tool {
public:
    Tool(const CommandOptions& options, std::string helper) : options_(options), helper_(std::move(helper)) {}

    int Run() {
        switch (options_.command) {
            case HelperClient::Command::Hello: return Hello();
            case HelperClient::Command::List:
            case HelperClient::Command::Info: return Show();
            case HelperClient::Command::Extract: return Extract();
            case HelperClient::Command::ExtractAll: return ExtractAll();
            case HelperClient::Command::Mount: return Mount();
        }
        return kExitUsage;
    }

private:
    HelperClient::SessionOptions Session() const {
        HelperClient::SessionOptions session;
        session.helper_binary = helper_;
        session.memory_limit_mb = options_.memory_limit_mb;
        if (passed_.valid()) session.archive_handle = platform::HandleValue(passed_.get());
        session.reply_timeout = options_.timeout;
        return session;
    }

    // Mounts the archive: a helper is started and opens it, and later ones
    // when requests need them; a window is read through a handle handed
    // down to every helper.
    bool Open(int& exit_code) {
        archive_ = Utf8(fs::absolute(HostPath(options_.operands[0])));
        if (options_.window.present) {
            std::string reason;
            passed_ = platform::OpenFileForChild(HostPath(archive_), &reason);
            if (!passed_.valid()) {
                exit_code = Complain("cannot open " + options_.operands[0] + ": " + reason);
                return false;
            }
        }
        HelperClient::MountFailure failure;
        mount_ = MountedArchive::Open(archive_, MountOptions(), &failure);
        if (!mount_) {
            exit_code = failure.helper_started ? Report(options_.operands[0], failure.outcome, failure.helper_log)
                                               : Report("cannot start " + helper_, failure.outcome, "");
        }
        return mount_ != nullptr;
    }

    HelperClient::MountOptions MountOptions() const {
        HelperClient::MountOptions mount;
        mount.session = Session();
        mount.limits = options_.limits;
        mount.window = options_.window;
        return mount;
    }

    const ArchiveHelper::IndexSummary& index() const { return mount_->Index(); }

    // With --stats, says how the helper ended and its peak memory.
    void ShowStats(const std::optional<HelperClient::ExitStatus>& status) {
        if (options_.stats && status) {
            std::fprintf(stderr, "helper: %s, peak memory %ld KiB\n", HelperClient::DescribeExit(*status).c_str(),
                         status->peak_rss_kib);
        }
    }

    int Hello() {
        Outcome failure;
        const auto session = ArchiveSession::Start(Session(), &failure);
        if (!session) return Report("cannot start " + helper_, failure, "");
        ArchiveHelper::HelloReply reply;
        const Outcome outcome = session->Hello(reply);
        if (!outcome.ok()) return Report("hello", outcome, session->helper_log());
        ShowStats(session->Finish());
        const bool written =
            WriteOut("protocol version: " + std::to_string(reply.protocol_version) +
                     "\narchive library version number: " + std::to_string(reply.library_version) +
                     "\narchive library details: " + reply.library_details + "\n");
        return written ? 0 : kExitFailed;
    }

    int Show() {
        int exit_code = 0;
        if (!Open(exit_code)) return exit_code;
        ShowStats(mount_->Finish());
        std::string text;
        if (options_.command == HelperClient::Command::Info) {
            text = HelperClient::FormatIndexInfo(index());
        } else {
            text = options_.json ? HelperClient::FormatIndexJson(index()) : HelperClient::FormatIndexTable(index());
        }
        return WriteOut(text) ? 0 : kExitFailed;
    }

    int Extract() {
        int exit_code = 0;
        if (!Open(exit_code)) return exit_code;
        const std::string& name = options_.operands[1];
        const ArchiveMount::Entry* entry = HelperClient::FindMember(index().entries, name);
        if (!entry) return Complain(options_.operands[0] + ": no member '" + name + "'");
        if (entry->is_dir) return Complain(options_.operands[0] + ": '" + name + "' is a directory");
        fs::path out = fs::absolute(HostPath(options_.operands[2]));
        std::error_code error;
        if (fs::is_directory(out, error)) {
            const auto relative = HelperClient::DosRelativePath(entry->dos_path);
            if (!relative) return Complain("the helper gave an unusable DOS path '" + entry->dos_path + "'");
            out /= relative->filename();
        }
        const Outcome outcome = mount_->Materialize(static_cast<std::uint32_t>(entry->ordinal), Utf8(out));
        if (!outcome.ok()) return Report(options_.operands[0] + ": '" + name + "'", outcome, mount_->helper_log());
        ShowStats(mount_->Finish());
        return 0;
    }

    int ExtractAll() {
        int exit_code = 0;
        if (!Open(exit_code)) return exit_code;
        const fs::path target = fs::absolute(HostPath(options_.operands[1]));
        std::error_code error;
        fs::create_directories(target, error);
        if (error) return Complain("cannot create " + Utf8(target) + ": " + error.message());
        // The helper writes into a scratch directory of ours inside the target,
        // so the moves stay on one file system. DOS names are upper case, so
        // no entry can take this name.
        std::string reason;
        const auto scratch = platform::MakeScratchDirectory(target, ".ombrex-scratch-", &reason);
        if (!scratch) return Complain("cannot create a scratch directory in " + Utf8(target) + ": " + reason);
        const int result = FillTree(*scratch, target);
        fs::remove_all(*scratch, error);
        return result;
    }

    int FillTree(const fs::path& scratch, const fs::path& target) {
        std::vector<const ArchiveMount::Entry*> files;
        for (const auto& entry : index().entries) {
            if (!entry.is_dir) files.push_back(&entry);
        }
        std::sort(files.begin(), files.end(), [](auto* a, auto* b) { return a->ordinal < b->ordinal; });
        const auto total_bytes = static_cast<std::uint64_t>(std::max<std::int64_t>(0, index().declared_total));
        const bool large = index().declared_total >= kProgressBytes || files.size() >= kProgressFiles;
        HelperClient::ProgressLine progress(stderr, large && HelperClient::IsTerminal(stderr));

        // The helper writes members in ascending ordinal order, each file
        // appearing complete, so the first missing one marks how far it got.
        std::size_t written = 0;
        std::uint64_t written_bytes = 0;
        auto watch = [&] {
            std::error_code ignored;
            while (written < files.size() && fs::exists(scratch / std::to_string(files[written]->ordinal), ignored)) {
                written_bytes += static_cast<std::uint64_t>(files[written]->size);
                ++written;
            }
            progress.Show("extracting", written, files.size(), written_bytes, total_bytes);
        };
        const Outcome outcome = mount_->MaterializeAll(Utf8(scratch), watch);
        if (!outcome.ok()) {
            progress.Finish();
            return Report(options_.operands[0], outcome, mount_->helper_log());
        }
        ShowStats(mount_->Finish());
        std::string message;
        const bool laid_out = HelperClient::LayOutTree(
            index(), scratch, target,
            [&](std::size_t done, std::uint64_t bytes) {
                progress.Show("moving", done, index().entries.size(), bytes, total_bytes);
            },
            &message);
        progress.Finish();
        return laid_out ? 0 : Complain(message);
    }

    // Serves the DOS tree at the mount point until it is unmounted; members
    // are materialized through the mount when first opened.
    int Mount() {
#ifdef OMBREX_HAVE_MOUNT
        const fs::path point = fs::absolute(HostPath(options_.operands[1]));
        // What stands in the way is said before any helper starts.
        const std::string obstacle = DosTree::MountObstacle(point);
        if (!obstacle.empty()) return Complain(obstacle);
        int exit_code = 0;
        if (!Open(exit_code)) return exit_code;
        std::string message;
        const std::optional<DosTree::Tree> tree = DosTree::Tree::Build(index(), &message);
        if (!tree) return Complain(message);
        std::error_code error;
        DosTree::ServeOptions serve;
        serve.mount_point = point;
        serve.cache_parent = options_.cache_dir.empty() ? fs::temp_directory_path(error) : fs::absolute(options_.cache_dir);
        serve.cache_bytes = static_cast<std::uint64_t>(options_.cache_bytes);
        serve.report = [](const std::string& line) { Complain(line); };
        // Readers come on several threads; the helper serves one at a time.
        std::mutex one_request;
        const DosTree::Fetch fetch = [&](std::int32_t ordinal, const fs::path& file) {
            std::lock_guard lock(one_request);
            return mount_->Materialize(static_cast<std::uint32_t>(ordinal), Utf8(file));
        };
        // A second helper extracts the whole tree meanwhile, at the speed of
        // one pass, so that a reader of many members finds them waiting; it
        // serves only while its index is the mount's.
        serve.fill_ahead = [this](const fs::path& directory, const std::function<void()>& arrived) {
            HelperClient::MountFailure failure;
            const std::unique_ptr<MountedArchive> fill = MountedArchive::Open(archive_, MountOptions(), &failure);
            if (!fill || fill->Index().fingerprint != index().fingerprint ||
                fill->Index().identity.size != index().identity.size ||
                fill->Index().identity.mtime != index().identity.mtime)
                return;
            fill->MaterializeAll(Utf8(directory), arrived);
        };
        if (!DosTree::ServeTree(*tree, serve, fetch, &message)) return Complain(message);
        ShowStats(mount_->Finish());
        return 0;
#else
        return Complain("mount needs FUSE 3, which this system does not have");
#endif
    }

    const CommandOptions& options_;
    std::string helper_;
    std::string archive_;
    platform::Descriptor passed_;
    std::unique_ptr<MountedArchive> mount_;
};

}  // namespace

int main(int argc, char** argv) {
    CommandOptions options;
    std::string message;
    if (!HelperClient::ParseCommandOptions(platform::Utf8Arguments(argc, argv), options, &message)) {
        std::fprintf(stderr, "ombrex-archive: %s (see --help)\n", message.c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(HelperClient::kUsageText, stdout);
        return 0;
    }
    Tool tool(options, options.helper.empty() ? DefaultHelper(argv[0]) : options.helper);
    return tool.Run();
}
