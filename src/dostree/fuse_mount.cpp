#define FUSE_USE_VERSION 312
#include "dostree/fuse_mount.h"

#include <fuse_lowlevel.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <csignal>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <system_error>
#include <vector>

#include "platform/platform.h"

namespace DosTree {

namespace fs = std::filesystem;

namespace {

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
        if (!options.fill_ahead || bytes > options.cache_bytes) {
            // Nothing will arrive: opens need not look.
            ordinals_.clear();
            return;
        }
        std::sort(ordinals_.begin(), ordinals_.end());
        thread_ = std::thread([this, &cache, fill = options.fill_ahead] {
            fill(cache.arrivals(), [this, &cache] { TakeArrived(cache); });
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
        while (next_ < ordinals_.size() && cache.Adopt(ordinals_[next_])) ++next_;
    }

private:
    std::mutex mutex_;
    std::vector<std::int32_t> ordinals_;
    std::size_t next_ = 0;
    std::thread thread_;
};

// The tree never changes while mounted, so inode numbers are positions in a
// table made once: no lookup count to keep, no path to rebuild per request.
struct Inode {
    const Node* node = nullptr;
    fuse_ino_t parent = 0;
    std::string_view name;             // empty for the root
    std::vector<fuse_ino_t> children;  // a directory's, in the tree's name order
};

class InodeTable {
public:
    explicit InodeTable(const Tree& tree) {
        inodes_.emplace_back();  // 0 is no inode
        Add(tree.root(), FUSE_ROOT_ID, {});
    }

    std::size_t size() const { return inodes_.size(); }
    const Inode* Find(fuse_ino_t ino) const { return ino > 0 && ino < inodes_.size() ? &inodes_[ino] : nullptr; }

    // The inode named `name` in directory `directory`, or 0.
    fuse_ino_t Child(const Inode& directory, std::string_view name) const {
        const auto found = std::lower_bound(directory.children.begin(), directory.children.end(), name,
                                            [this](fuse_ino_t child, std::string_view wanted) {
                                                return inodes_[child].name < wanted;
                                            });
        return found != directory.children.end() && inodes_[*found].name == name ? *found : 0;
    }

    // "/DIR/NAME.EXT", for what is said about a member.
    std::string PathOf(fuse_ino_t ino) const {
        std::string path;
        for (; ino != FUSE_ROOT_ID; ino = inodes_[ino].parent) path.insert(0, "/" + std::string(inodes_[ino].name));
        return path.empty() ? "/" : path;
    }

private:
    fuse_ino_t Add(const Node& node, fuse_ino_t parent, std::string_view name) {
        const fuse_ino_t ino = inodes_.size();
        inodes_.push_back({&node, parent, name, {}});
        for (const auto& [child_name, child] : node.children) {
            const fuse_ino_t child_ino = Add(*child, ino, child_name);
            inodes_[ino].children.push_back(child_ino);
        }
        return ino;
    }

    std::vector<Inode> inodes_;
};

class PendingOpens;

// What one mount serves; FUSE hands it back to every operation.
struct Served {
    const InodeTable& inodes;
    MemberCache& cache;
    const ServeOptions& options;
    FillAhead* ahead = nullptr;
    PendingOpens* pending = nullptr;
    struct fuse_session* session = nullptr;
    // By inode: whether the kernel was handed the member's first bytes.
    std::unique_ptr<std::atomic<bool>[]> stored = nullptr;
};

// One open file: the member and the reader's descriptor on its cached copy.
struct OpenFile {
    std::int32_t ordinal;
    platform::Descriptor copy;
};

// Nothing changes for as long as the mount lives: the kernel may keep every
// name, absence and attribute.
constexpr double kForever = 365.0 * 24 * 3600;

Served& Of(fuse_req_t request) { return *static_cast<Served*>(fuse_req_userdata(request)); }

struct stat Describe(fuse_req_t request, fuse_ino_t ino, const Node& node) {
    struct stat out;
    std::memset(&out, 0, sizeof out);
    out.st_ino = ino;
    out.st_mode = node.is_dir ? (S_IFDIR | 0555) : (S_IFREG | 0444);
    out.st_nlink = node.is_dir ? 2 : 1;
    out.st_size = node.is_dir ? 0 : node.size;
    out.st_mtime = out.st_atime = out.st_ctime = node.mtime;
    const struct fuse_ctx* context = fuse_req_ctx(request);
    out.st_uid = context->uid;
    out.st_gid = context->gid;
    return out;
}

struct fuse_entry_param EntryOf(fuse_req_t request, fuse_ino_t ino, const Node& node) {
    struct fuse_entry_param entry;
    std::memset(&entry, 0, sizeof entry);
    entry.ino = ino;
    entry.attr = Describe(request, ino, node);
    entry.attr_timeout = kForever;
    entry.entry_timeout = kForever;
    return entry;
}

void Initialize(void*, struct fuse_conn_info* connection) {
    // Every readdir brings its entries' attributes, so that a walk of the
    // tree needs no lookup per name.
    if (connection->capable & FUSE_CAP_READDIRPLUS) {
        connection->want |= FUSE_CAP_READDIRPLUS;
        connection->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
    }
}

void LookUp(fuse_req_t request, fuse_ino_t parent, const char* name) {
    const InodeTable& inodes = Of(request).inodes;
    const Inode* directory = inodes.Find(parent);
    if (directory == nullptr || !directory->node->is_dir) {
        fuse_reply_err(request, ENOENT);
        return;
    }
    const fuse_ino_t ino = inodes.Child(*directory, name);
    if (ino == 0) {
        // An entry without an inode: the kernel remembers the absence.
        struct fuse_entry_param absent;
        std::memset(&absent, 0, sizeof absent);
        absent.entry_timeout = kForever;
        fuse_reply_entry(request, &absent);
        return;
    }
    const struct fuse_entry_param entry = EntryOf(request, ino, *inodes.Find(ino)->node);
    fuse_reply_entry(request, &entry);
}

void GetAttributes(fuse_req_t request, fuse_ino_t ino, struct fuse_file_info*) {
    const Inode* inode = Of(request).inodes.Find(ino);
    if (inode == nullptr) {
        fuse_reply_err(request, ENOENT);
        return;
    }
    const struct stat attributes = Describe(request, ino, *inode->node);
    fuse_reply_attr(request, &attributes, kForever);
}

// Entries from `offset` on: "." and ".." first, then the children in order;
// with `plus`, each with its attributes.
void ListDirectory(fuse_req_t request, fuse_ino_t ino, size_t size, off_t offset, bool plus) {
    const InodeTable& inodes = Of(request).inodes;
    const Inode* directory = inodes.Find(ino);
    if (directory == nullptr) {
        fuse_reply_err(request, ENOENT);
        return;
    }
    if (!directory->node->is_dir) {
        fuse_reply_err(request, ENOTDIR);
        return;
    }
    std::vector<char> buffer(size);
    std::size_t used = 0;
    const std::size_t count = 2 + directory->children.size();
    for (std::size_t at = static_cast<std::size_t>(std::max<off_t>(offset, 0)); at < count; ++at) {
        const fuse_ino_t entry_ino = at == 0 ? ino : at == 1 ? directory->parent : directory->children[at - 2];
        const std::string name = at == 0 ? "." : at == 1 ? ".." : std::string(inodes.Find(entry_ino)->name);
        struct fuse_entry_param entry = EntryOf(request, entry_ino, *inodes.Find(entry_ino)->node);
        // The dot entries name inodes the kernel knows already.
        if (at < 2) entry.ino = 0;
        const off_t next = static_cast<off_t>(at + 1);
        const std::size_t needed =
            plus ? fuse_add_direntry_plus(request, buffer.data() + used, size - used, name.c_str(), &entry, next)
                 : fuse_add_direntry(request, buffer.data() + used, size - used, name.c_str(), &entry.attr, next);
        if (needed > size - used) break;
        used += needed;
    }
    fuse_reply_buf(request, buffer.data(), used);
}

void ReadDirectory(fuse_req_t request, fuse_ino_t ino, size_t size, off_t offset, struct fuse_file_info*) {
    ListDirectory(request, ino, size, offset, false);
}

void ReadDirectoryPlus(fuse_req_t request, fuse_ino_t ino, size_t size, off_t offset, struct fuse_file_info*) {
    ListDirectory(request, ino, size, offset, true);
}

// What the kernel's first read of a file asks for.
constexpr std::int64_t kStoredBytes = 128 << 10;

// Hands the kernel the first bytes of a member along with its first open, so
// that reading a small member costs no read request. Failing only costs them.
void StoreFirstBytes(Served& served, fuse_ino_t ino, const Node& node, const OpenFile& file) {
    if (node.size == 0 || served.stored[ino].exchange(true)) return;
    struct fuse_bufvec data = FUSE_BUFVEC_INIT(static_cast<std::size_t>(std::min(node.size, kStoredBytes)));
    data.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK | FUSE_BUF_FD_RETRY);
    data.buf[0].fd = file.copy.get();
    data.buf[0].pos = 0;
    fuse_lowlevel_notify_store(served.session, ino, 0, &data, FUSE_BUF_SPLICE_MOVE);
}

// Answers an open with the member's cached copy, or EIO and one line when it
// could not be had.
void FinishOpen(Served& served, fuse_req_t request, fuse_ino_t ino, struct fuse_file_info info,
                MemberCache::Opened opened) {
    const Node& node = *served.inodes.Find(ino)->node;
    if (!opened.outcome.ok()) {
        if (served.options.report) {
            served.options.report(served.inodes.PathOf(ino) + ": " + ArchiveMount::ErrorText(opened.outcome.code) +
                                  " (" + opened.outcome.message + ")");
        }
        fuse_reply_err(request, EIO);
        return;
    }
    auto file = std::make_unique<OpenFile>(OpenFile{node.ordinal, std::move(opened.file)});
    info.fh = reinterpret_cast<std::uint64_t>(file.get());
    // Members never change under a mount: the kernel may keep what it read.
    info.keep_cache = 1;
    StoreFirstBytes(served, ino, node, *file);
    // -ENOENT: the opener was interrupted and will never release the file.
    if (fuse_reply_open(request, &info) == -ENOENT) {
        file.reset();
        served.cache.Close(node.ordinal);
        return;
    }
    file.release();
}

// Opens that must wait for a member to be fetched run here, one after the
// other as the helper serves them, so that the session's own thread goes on
// serving the members cached already.
class PendingOpens {
public:
    explicit PendingOpens(Served& served) : served_(served) {}
    ~PendingOpens() {
        {
            std::lock_guard lock(mutex_);
            ending_ = true;
        }
        posted_.notify_one();
        thread_.join();
    }
    PendingOpens(const PendingOpens&) = delete;
    PendingOpens& operator=(const PendingOpens&) = delete;

    void Post(fuse_req_t request, fuse_ino_t ino, const struct fuse_file_info& info) {
        {
            std::lock_guard lock(mutex_);
            queue_.push_back({request, ino, info});
        }
        posted_.notify_one();
    }

private:
    struct Pending {
        fuse_req_t request;
        fuse_ino_t ino;
        struct fuse_file_info info;
    };

    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            posted_.wait(lock, [this] { return ending_ || !queue_.empty(); });
            if (queue_.empty()) return;
            const Pending pending = queue_.front();
            queue_.pop_front();
            const bool ending = ending_;
            lock.unlock();
            // Once the mount is gone its openers are not worth a fetch.
            if (ending) {
                fuse_reply_err(pending.request, EINTR);
            } else {
                const std::int32_t ordinal = served_.inodes.Find(pending.ino)->node->ordinal;
                FinishOpen(served_, pending.request, pending.ino, pending.info, served_.cache.Open(ordinal));
            }
            lock.lock();
        }
    }

    Served& served_;
    std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<Pending> queue_;
    bool ending_ = false;
    std::thread thread_{[this] { Run(); }};  // last: it starts with the rest in place
};

void Open(fuse_req_t request, fuse_ino_t ino, struct fuse_file_info* info) {
    Served& served = Of(request);
    const Inode* inode = served.inodes.Find(ino);
    if (inode == nullptr) {
        fuse_reply_err(request, ENOENT);
        return;
    }
    if (inode->node->is_dir) {
        fuse_reply_err(request, EISDIR);
        return;
    }
    if ((info->flags & O_ACCMODE) != O_RDONLY) {
        fuse_reply_err(request, EROFS);
        return;
    }
    if (served.ahead != nullptr) served.ahead->TakeArrived(served.cache);
    if (std::optional<MemberCache::Opened> opened = served.cache.OpenCached(inode->node->ordinal)) {
        FinishOpen(served, request, ino, *info, std::move(*opened));
    } else {
        served.pending->Post(request, ino, *info);
    }
}

void Read(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, struct fuse_file_info* info) {
    const auto* file = reinterpret_cast<const OpenFile*>(info->fh);
    // The bytes go from the cached copy to the kernel without passing
    // through a buffer of ours.
    struct fuse_bufvec data = FUSE_BUFVEC_INIT(size);
    data.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK | FUSE_BUF_FD_RETRY);
    data.buf[0].fd = file->copy.get();
    data.buf[0].pos = offset;
    fuse_reply_data(request, &data, FUSE_BUF_SPLICE_MOVE);
}

void Release(fuse_req_t request, fuse_ino_t, struct fuse_file_info* info) {
    const std::unique_ptr<OpenFile> file(reinterpret_cast<OpenFile*>(info->fh));
    const std::int32_t ordinal = file->ordinal;
    file->copy.reset();
    Of(request).cache.Close(ordinal);
    fuse_reply_err(request, 0);
}

struct SessionOwner {
    struct fuse_session* session = nullptr;
    bool mounted = false;
    bool handlers = false;
    ~SessionOwner() {
        if (session == nullptr) return;
        if (handlers) fuse_remove_signal_handlers(session);
        if (mounted) fuse_session_unmount(session);
        fuse_session_destroy(session);
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

    struct fuse_lowlevel_ops operations {};
    operations.init = Initialize;
    operations.lookup = LookUp;
    operations.getattr = GetAttributes;
    operations.readdir = ReadDirectory;
    operations.readdirplus = ReadDirectoryPlus;
    operations.open = Open;
    operations.read = Read;
    operations.release = Release;

    const InodeTable inodes(tree);
    Served served{inodes, *cache, options};
    served.stored = std::make_unique<std::atomic<bool>[]>(inodes.size());
    // Declared after the cache, so that the fill ends before the cache goes.
    std::optional<FillAhead> ahead;
    std::vector<std::string> words = {"ombrex-archive", "-o", "ro,default_permissions,fsname=ombrex-archive"};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    struct fuse_args arguments = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    SessionOwner owner;
    owner.session = fuse_session_new(&arguments, &operations, sizeof operations, &served);
    fuse_opt_free_args(&arguments);
    if (owner.session == nullptr) return Fail(message, "cannot set up the FUSE file system");
    served.session = owner.session;
    if (fuse_session_mount(owner.session, options.mount_point.c_str()) != 0)
        return Fail(message, "cannot mount at " + options.mount_point.string());
    owner.mounted = true;
    if (fuse_set_signal_handlers(owner.session) != 0)
        return Fail(message, "cannot set up the signal handlers of the mount");
    owner.handlers = true;
    PendingOpens pending(served);
    served.pending = &pending;
    ahead.emplace(tree, *cache, options);
    served.ahead = &*ahead;
    if (options.mounted) options.mounted();
    // One thread serves every request: cached members cost no hand-over
    // between threads, and opens that need a fetch go to `pending`.
    const int served_result = fuse_session_loop(owner.session);
    // An unmount from outside and a signal both end the loop cleanly; the
    // loop tells the signal by its number, with either sign.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        if (served_result == signal || served_result == -signal) return true;
    if (served_result != 0) return Fail(message, "the mount ended with an error");
    return true;
}

}  // namespace DosTree
