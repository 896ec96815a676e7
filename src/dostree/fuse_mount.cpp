#define FUSE_USE_VERSION 31
#include "dostree/fuse_mount.h"

#include <fuse.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <system_error>
#include <vector>

#include "platform/platform.h"

namespace DosTree {

namespace fs = std::filesystem;

namespace {

// What one mount serves; FUSE hands it back to every operation.
// The file members of `tree` by ordinal, and their bytes in all.
void FileMembers(const Node& node, std::vector<std::int32_t>& ordinals, std::uint64_t& bytes) {
    for (const auto& [name, child] : node.children) {
        if (child->is_dir) {
            FileMembers(*child, ordinals, bytes);
        } else {
            ordinals.push_back(child->ordinal);
            bytes += static_cast<std::uint64_t>(child->size);
        }
    }
}

// Runs the fill ahead on a thread of its own and takes its files into the
// cache in ordinal order as they appear, when the fill says so and before a
// reader fetches a member itself; joins the fill when destroyed.
class FillAhead {
public:
    FillAhead(const Tree& tree, MemberCache& cache, const ServeOptions& options) {
        std::uint64_t bytes = 0;
        FileMembers(tree.root(), ordinals_, bytes);
        if (!options.fill_ahead || bytes > options.cache_bytes) return;
        std::sort(ordinals_.begin(), ordinals_.end());
        directory_ = cache.directory() / "ahead";
        std::error_code error;
        if (!fs::create_directory(directory_, error)) return;
        thread_ = std::thread([this, &cache, fill = options.fill_ahead] {
            fill(directory_, [this, &cache] { TakeArrived(cache); });
            TakeArrived(cache);
        });
    }
    ~FillAhead() {
        if (thread_.joinable()) thread_.join();
    }

    // Members appear complete and in ordinal order: the first missing one
    // marks how far the fill got.
    void TakeArrived(MemberCache& cache) {
        std::lock_guard lock(mutex_);
        std::error_code error;
        while (next_ < ordinals_.size()) {
            const fs::path file = directory_ / std::to_string(ordinals_[next_]);
            if (!fs::exists(file, error)) break;
            cache.Adopt(ordinals_[next_++], file);
        }
    }

private:
    std::mutex mutex_;
    std::vector<std::int32_t> ordinals_;
    std::size_t next_ = 0;
    fs::path directory_;
    std::thread thread_;
};

struct Served {
    const Tree& tree;
    MemberCache& cache;
    const ServeOptions& options;
    FillAhead* ahead = nullptr;
};

// One open file: the member and the reader's descriptor on its cached copy.
struct OpenFile {
    std::int32_t ordinal;
    platform::Descriptor copy;
};

Served& Current() { return *static_cast<Served*>(fuse_get_context()->private_data); }

void Describe(const Node& node, struct stat* out) {
    std::memset(out, 0, sizeof *out);
    out->st_mode = node.is_dir ? (S_IFDIR | 0555) : (S_IFREG | 0444);
    out->st_nlink = node.is_dir ? 2 : 1;
    out->st_size = node.is_dir ? 0 : node.size;
    out->st_mtime = out->st_atime = out->st_ctime = node.mtime;
    const struct fuse_context* context = fuse_get_context();
    out->st_uid = context->uid;
    out->st_gid = context->gid;
}

int GetAttributes(const char* path, struct stat* out, struct fuse_file_info*) {
    const Node* node = Current().tree.Find(path);
    if (node == nullptr) return -ENOENT;
    Describe(*node, out);
    return 0;
}

int ReadDirectory(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
                  enum fuse_readdir_flags) {
    const Node* node = Current().tree.Find(path);
    if (node == nullptr) return -ENOENT;
    if (!node->is_dir) return -ENOTDIR;
    struct stat attributes;
    Describe(*node, &attributes);
    fill(buffer, ".", &attributes, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    for (const auto& [name, child] : node->children) {
        Describe(*child, &attributes);
        if (fill(buffer, name.c_str(), &attributes, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) break;
    }
    return 0;
}

int Open(const char* path, struct fuse_file_info* info) {
    Served& served = Current();
    const Node* node = served.tree.Find(path);
    if (node == nullptr) return -ENOENT;
    if (node->is_dir) return -EISDIR;
    if ((info->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    if (served.ahead != nullptr) served.ahead->TakeArrived(served.cache);
    MemberCache::Opened opened = served.cache.Open(node->ordinal);
    if (!opened.outcome.ok()) {
        if (served.options.report) {
            served.options.report(std::string(path) + ": " + ArchiveMount::ErrorText(opened.outcome.code) + " (" +
                                  opened.outcome.message + ")");
        }
        return -EIO;
    }
    info->fh = reinterpret_cast<std::uint64_t>(new OpenFile{node->ordinal, std::move(opened.file)});
    // Members never change under a mount: the kernel may keep what it read.
    info->keep_cache = 1;
    return 0;
}

int Read(const char*, char* buffer, size_t size, off_t offset, struct fuse_file_info* info) {
    const auto* file = reinterpret_cast<const OpenFile*>(info->fh);
    std::size_t done = 0;
    while (done < size) {
        const long long got = platform::ReadAt(file->copy.get(), buffer + done, size - done, offset + done);
        if (got < 0) return -EIO;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<int>(done);
}

int Release(const char*, struct fuse_file_info* info) {
    const std::unique_ptr<OpenFile> file(reinterpret_cast<OpenFile*>(info->fh));
    const std::int32_t ordinal = file->ordinal;
    file->copy.reset();
    Current().cache.Close(ordinal);
    return 0;
}

void* Initialize(struct fuse_conn_info*, struct fuse_config* config) {
    // Nothing changes for as long as the mount lives.
    config->entry_timeout = 3600;
    config->attr_timeout = 3600;
    config->negative_timeout = 3600;
    config->kernel_cache = 1;
    return fuse_get_context()->private_data;
}

struct FuseOwner {
    struct fuse* fuse = nullptr;
    bool mounted = false;
    bool handlers = false;
    ~FuseOwner() {
        if (fuse == nullptr) return;
        if (handlers) fuse_remove_signal_handlers(fuse_get_session(fuse));
        if (mounted) fuse_unmount(fuse);
        fuse_destroy(fuse);
    }
};

bool Fail(std::string* message, std::string text) {
    if (message) *message = std::move(text);
    return false;
}

}  // namespace

std::string MountObstacle(const fs::path& mount_point) {
    std::error_code error;
    if (!fs::is_directory(mount_point, error)) return "the mount point " + mount_point.string() + " is not a directory";
    if (!fs::is_empty(mount_point, error)) return "the mount point " + mount_point.string() + " is not empty";
    if (error) return "cannot look into the mount point " + mount_point.string() + ": " + error.message();
    const platform::Descriptor device = platform::OpenDeviceForReadWrite("/dev/fuse");
    if (!device.valid()) {
        const int number = platform::LastErrorNumber();
        if (number == ENOENT) return "this machine has no /dev/fuse (FUSE is not available)";
        return std::string("cannot use /dev/fuse: ") + std::strerror(number);
    }
    return "";
}

bool ServeTree(const Tree& tree, const ServeOptions& options, Fetch fetch, std::string* message) {
    const std::string obstacle = MountObstacle(options.mount_point);
    if (!obstacle.empty()) return Fail(message, obstacle);
    std::string cache_message;
    const std::unique_ptr<MemberCache> cache =
        MemberCache::Create(options.cache_parent, options.cache_bytes, std::move(fetch), &cache_message);
    if (!cache) return Fail(message, cache_message);

    struct fuse_operations operations {};
    operations.getattr = GetAttributes;
    operations.readdir = ReadDirectory;
    operations.open = Open;
    operations.read = Read;
    operations.release = Release;
    operations.init = Initialize;

    Served served{tree, *cache, options};
    // Declared after the cache, so that the fill ends before the cache goes.
    std::optional<FillAhead> ahead;
    std::vector<std::string> words = {"ombrex-archive", "-o", "ro,default_permissions,fsname=ombrex-archive"};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    struct fuse_args arguments = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    FuseOwner owner;
    owner.fuse = fuse_new(&arguments, &operations, sizeof operations, &served);
    fuse_opt_free_args(&arguments);
    if (owner.fuse == nullptr) return Fail(message, "cannot set up the FUSE file system");
    if (fuse_mount(owner.fuse, options.mount_point.c_str()) != 0)
        return Fail(message, "cannot mount at " + options.mount_point.string());
    owner.mounted = true;
    if (fuse_set_signal_handlers(fuse_get_session(owner.fuse)) != 0)
        return Fail(message, "cannot set up the signal handlers of the mount");
    owner.handlers = true;
    ahead.emplace(tree, *cache, options);
    served.ahead = &*ahead;
    if (options.mounted) options.mounted();
    const int served_result = fuse_loop_mt(owner.fuse, 0);
    // An unmount from outside and a signal both end the loop cleanly; the
    // loop tells the signal by its number, with either sign.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        if (served_result == signal || served_result == -signal) return true;
    if (served_result != 0) return Fail(message, "the mount ended with an error");
    return true;
}

}  // namespace DosTree
