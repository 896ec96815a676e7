// `ombrex-archive mount` end to end: archives of every served kind mounted
// through FUSE, their DOS trees listed and every file read back against the
// helper's own bytes; readers at once, at random offsets and across a lost
// helper; and nothing left behind after the unmount. Needs /dev/fuse.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "client/helper_process.h"
#include "dostree/fuse_mount.h"
#include "mount/archive_reader_impl.h"
#include "mount/archive_sources.h"
#include "support/archive_builder.h"
#include "support/isz_image_writer.h"
#include "support/temp_dir.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using ArchiveMount::Error;

bool Mounted(const fs::path& point) {
    std::ifstream mounts("/proc/self/mountinfo");
    for (std::string line; std::getline(mounts, line);)
        if (line.find(" " + point.string() + " ") != std::string::npos) return true;
    return false;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The pids of a process's children.
std::vector<int> ChildrenOf(int pid) {
    std::vector<int> children;
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream list(task.path() / "children");
        for (int child; list >> child;) children.push_back(child);
    }
    return children;
}

// What the helper gives for each file member: the expected tree.
struct Expected {
    std::map<std::string, std::string> files;  // mount-relative path -> bytes
    std::set<std::string> directories;
};

Expected ExpectedTree(const fs::path& archive) {
    Expected expected;
    ArchiveMount::OpenResult result;
    ArchiveMount::OpenArchivePath(result, archive, {1000, INT64_MAX, INT64_MAX});
    EXPECT_EQ(result.error, Error::Ok) << result.message;
    if (!result.reader) return expected;
    auto& reader = static_cast<ArchiveMount::ArchiveReader&>(*result.reader);
    for (const auto& entry : reader.Entries()) {
        std::string path = entry.dos_path;
        std::replace(path.begin(), path.end(), '\\', '/');
        if (entry.is_dir) {
            expected.directories.insert(path);
            continue;
        }
        std::vector<unsigned char> bytes;
        EXPECT_EQ(reader.Materialize(entry.ordinal, bytes, nullptr), Error::Ok) << path;
        expected.files[path] = std::string(bytes.begin(), bytes.end());
    }
    return expected;
}

class FuseMount : public testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(point_);
        const std::string obstacle = DosTree::MountObstacle(point_);
        if (!obstacle.empty()) GTEST_SKIP() << "cannot mount here: " << obstacle;
    }

    void TearDown() override {
        if (tool_) Unmount();
    }

    // Starts the tool mounting `archive` and waits until the tree is there.
    void Mount(const fs::path& archive, std::vector<std::string> options = {}) {
        std::vector<std::string> arguments = {"--cache-dir", cache_parent_.string()};
        arguments.insert(arguments.end(), options.begin(), options.end());
        arguments.insert(arguments.end(), {"mount", archive.string(), point_.string()});
        std::string message;
        tool_ = HelperClient::HelperProcess::Start({OMBREX_TOOL_BINARY, arguments, std::nullopt, false}, &message);
        ASSERT_TRUE(tool_) << message;
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!Mounted(point_) && std::chrono::steady_clock::now() < deadline) {
            if (tool_->Wait(20ms)) break;
        }
        ASSERT_TRUE(Mounted(point_)) << tool_->StandardError();
    }

    // Unmounts from outside and expects a clean end: exit 0, nothing mounted,
    // no helper, no cache.
    void Unmount() {
        const std::vector<int> helpers = ChildrenOf(tool_->pid());
        EXPECT_EQ(std::system(("fusermount3 -u " + point_.string()).c_str()), 0);
        const auto status = tool_->Wait(20s);
        ASSERT_TRUE(status) << "the tool did not end after the unmount";
        EXPECT_TRUE(status->exited && status->code == 0) << tool_->StandardError();
        EXPECT_FALSE(Mounted(point_));
        for (const int helper : helpers) EXPECT_FALSE(fs::exists("/proc/" + std::to_string(helper))) << helper;
        EXPECT_TRUE(fs::is_empty(cache_parent_)) << "the cache outlived the mount";
        tool_.reset();
    }

    // The mounted tree is exactly `expected`, byte for byte.
    void ExpectTree(const Expected& expected) {
        Expected seen;
        for (const auto& item : fs::recursive_directory_iterator(point_)) {
            const std::string path = fs::relative(item.path(), point_).string();
            if (item.is_directory()) {
                seen.directories.insert(path);
            } else {
                EXPECT_EQ(item.file_size(), expected.files.count(path) ? expected.files.at(path).size() : 0) << path;
                seen.files[path] = ReadFile(item.path());
            }
        }
        EXPECT_EQ(seen.directories, expected.directories);
        ASSERT_EQ(seen.files.size(), expected.files.size());
        for (const auto& [path, bytes] : expected.files) EXPECT_TRUE(seen.files[path] == bytes) << path;
    }

    testsupport::TempDir dir;
    const fs::path point_ = dir.path() / "mnt";
    const fs::path cache_parent_ = [this] {
        fs::create_directories(dir.path() / "cache");
        return dir.path() / "cache";
    }();
    std::unique_ptr<HelperClient::HelperProcess> tool_;
};

std::vector<testsupport::Member> Members() {
    std::string text;
    for (int line = 0; text.size() < 120000; ++line) text += "line " + std::to_string(line * 7919 % 10007) + "\n";
    return {{"README.TXT", "read me\n"},
            {"game/level1.dat", text},
            {"game/sounds", "", 1700000000, true},
            {"game/sounds/boom.wav", text.substr(7, 5000)},
            {"a long file name.text", "long"},
            {"empty.dat", ""}};
}

std::string Fixture(const std::string& name) { return ReadFile(fs::path(OMBREX_FIXTURES_DIR) / name); }

TEST_F(FuseMount, EveryServedKindIsItsDosTree) {
    using testsupport::BuildArchive;
    using testsupport::Compression;
    using testsupport::Container;
    const auto members = Members();
    testsupport::IszImageWriter isz;
    isz.header().block_size = 4096;
    const std::string disc = BuildArchive(Container::Iso9660, members);
    isz.Chunks(disc.size(), testsupport::ChunksOf(testsupport::Bytes(disc.begin(), disc.end()), 4096, 2, true));
    const testsupport::Bytes isz_bytes = isz.Build();
    const std::vector<std::pair<std::string, std::string>> archives = {
        {"a.zip", BuildArchive(Container::ZipDeflate, members)},
        {"a.7z", BuildArchive(Container::SevenZip, members)},
        {"a.tar", BuildArchive(Container::Ustar, members)},
        {"a.tar.gz", BuildArchive(Container::Ustar, members, Compression::Gzip)},
        {"a.tar.bz2", BuildArchive(Container::Ustar, members, Compression::Bzip2)},
        {"a.tar.xz", BuildArchive(Container::Ustar, members, Compression::Xz)},
        {"a.tar.zst", BuildArchive(Container::Ustar, members, Compression::Zstd)},
        {"a.iso", disc},
        {"disc.isz", std::string(isz_bytes.begin(), isz_bytes.end())},
        {"disk.img.gz", BuildArchive(Container::Raw, {{"disk.img", members[1].bytes}}, Compression::Gzip)},
        {"rar4.rar", Fixture("libarchive/rar4-compressed.rar")},
        {"rar5.rar", Fixture("libarchive/rar5-compressed.rar")},
        {"implode.zip", Fixture("legacy-zip/zip2-implode.zip")},
        {"shrink.zip", Fixture("legacy-zip/zip2-shrink.zip")},
    };
    for (const auto& [name, bytes] : archives) {
        SCOPED_TRACE(name);
        const fs::path archive = dir.WriteFile(name, bytes);
        Mount(archive);
        ExpectTree(ExpectedTree(archive));
        Unmount();
    }
}

TEST_F(FuseMount, RandomOffsetsTwoReadersAndALostHelper) {
    const auto members = Members();
    const fs::path archive = dir.WriteFile("game.zip", testsupport::BuildArchive(testsupport::Container::ZipDeflate,
                                                                                 members));
    const Expected expected = ExpectedTree(archive);
    Mount(archive);
    const std::string& level = expected.files.at("GAME/LEVEL1.DAT");

    // Reads at random offsets and lengths, through one open file.
    std::ifstream file(point_ / "GAME/LEVEL1.DAT", std::ios::binary);
    std::mt19937 random(9);
    for (int i = 0; i < 200; ++i) {
        const std::size_t offset = random() % level.size();
        const std::size_t length = std::min<std::size_t>(random() % 9000, level.size() - offset);
        std::string got(length, '\0');
        file.seekg(static_cast<std::streamoff>(offset));
        file.read(got.data(), static_cast<std::streamsize>(length));
        ASSERT_TRUE(got == level.substr(offset, length)) << "at " << offset << " for " << length;
    }

    // Two readers at once, of one member and of two.
    for (const char* second : {"GAME/LEVEL1.DAT", "GAME/SOUNDS/BOOM.WAV"}) {
        std::string first_read, second_read;
        std::thread a([&] { first_read = ReadFile(point_ / "GAME/LEVEL1.DAT"); });
        std::thread b([&] { second_read = ReadFile(point_ / second); });
        a.join();
        b.join();
        EXPECT_TRUE(first_read == level);
        EXPECT_TRUE(second_read == expected.files.at(second));
    }

    // The helper dies between reads; the next member comes all the same.
    const std::vector<int> helpers = ChildrenOf(tool_->pid());
    ASSERT_FALSE(helpers.empty()) << "no helper to lose";
    for (const int helper : helpers) kill(helper, SIGKILL);
    EXPECT_EQ(ReadFile(point_ / "README.TXT"), expected.files.at("README.TXT"));
    for (const auto& [path, bytes] : expected.files) EXPECT_TRUE(ReadFile(point_ / path) == bytes) << path;
}

// A member the helper cannot produce fails its reader with EIO and one line
// on standard error; the rest of the tree is still served.
TEST_F(FuseMount, ADamagedMemberIsAnIoErrorAndTheMountStaysUp) {
    const auto members = Members();
    std::string zip = testsupport::BuildArchive(testsupport::Container::ZipStored, members);
    const std::size_t at = zip.find(members[1].bytes.substr(0, 64));
    ASSERT_NE(at, std::string::npos);
    zip[at + 10] = static_cast<char>(zip[at + 10] ^ 0x55);
    const fs::path archive = dir.WriteFile("damaged.zip", zip);
    Mount(archive);
    std::ifstream damaged(point_ / "GAME/LEVEL1.DAT", std::ios::binary);
    EXPECT_FALSE(damaged.is_open()) << "opening a damaged member must fail";
    EXPECT_EQ(ReadFile(point_ / "README.TXT"), "read me\n");
    tool_->Wait(100ms);  // collects what the tool wrote meanwhile
    const std::string& errors = tool_->StandardError();
    EXPECT_NE(errors.find("/GAME/LEVEL1.DAT: "), std::string::npos) << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
}

// Served in this process with a fetch the test holds back: while one
// member's fetch is held, its readers all wait for that one fetch, and
// readers of members cached already are served meanwhile.
TEST_F(FuseMount, CachedMembersAreServedWhileAnotherIsFetched) {
    constexpr int kMembers = 6;
    const auto bytes_of = [](int ordinal) {
        return std::string(3000 + 1000 * static_cast<std::size_t>(ordinal), static_cast<char>('a' + ordinal));
    };
    ArchiveHelper::IndexSummary index;
    for (int ordinal = 0; ordinal < kMembers; ++ordinal) {
        ArchiveMount::Entry entry;
        entry.ordinal = ordinal;
        entry.dos_path = "DIR\\M" + std::to_string(ordinal) + ".DAT";
        entry.size = static_cast<std::int64_t>(bytes_of(ordinal).size());
        entry.mtime = 1000;
        index.entries.push_back(entry);
    }
    std::string message;
    const auto tree = DosTree::Tree::Build(index, &message);
    ASSERT_TRUE(tree) << message;

    std::mutex mutex;
    std::condition_variable changed;
    bool holding = true;
    std::map<int, int> fetches;
    const DosTree::Fetch fetch = [&](std::int32_t ordinal, const fs::path& file) {
        {
            std::unique_lock lock(mutex);
            ++fetches[ordinal];
            changed.notify_all();
            if (ordinal == 0) changed.wait(lock, [&] { return !holding; });
        }
        std::ofstream(file, std::ios::binary) << bytes_of(ordinal);
        return HelperClient::Outcome{};
    };
    const auto release = [&] {
        std::lock_guard lock(mutex);
        holding = false;
        changed.notify_all();
    };

    DosTree::ServeOptions options;
    options.mount_point = point_;
    options.cache_parent = cache_parent_;
    options.cache_bytes = 1 << 20;
    std::promise<void> up;
    options.mounted = [&] { up.set_value(); };
    bool served = false;
    // Whatever fails below, the fetch is let go, the readers end and so does
    // the mount.
    struct Serving {
        std::function<void()> release;
        fs::path point;
        std::thread thread;
        std::vector<std::future<std::string>> readers;
        void End() {
            release();
            for (auto& reader : readers)
                if (reader.valid()) reader.wait();
            if (!thread.joinable()) return;
            EXPECT_EQ(std::system(("fusermount3 -u " + point.string()).c_str()), 0);
            thread.join();
        }
        ~Serving() { End(); }
    } serving{release, point_, std::thread([&] { served = DosTree::ServeTree(*tree, options, fetch, &message); }), {}};
    ASSERT_EQ(up.get_future().wait_for(20s), std::future_status::ready) << message;

    const auto path_of = [&](int ordinal) { return point_ / "DIR" / ("M" + std::to_string(ordinal) + ".DAT"); };
    for (int ordinal = 1; ordinal < kMembers; ++ordinal) ASSERT_EQ(ReadFile(path_of(ordinal)), bytes_of(ordinal));

    auto& readers = serving.readers;
    for (int reader = 0; reader < 3; ++reader)
        readers.push_back(std::async(std::launch::async, [&] { return ReadFile(path_of(0)); }));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return fetches[0] == 1; })) << "member 0 was never fetched";
    }
    // Two readers of every cached member at once, while member 0 is held.
    for (int reader = 0; reader < 2; ++reader) {
        readers.push_back(std::async(std::launch::async, [&] {
            std::string wrong;
            for (int round = 0; round < 20; ++round)
                for (int ordinal = 1; ordinal < kMembers; ++ordinal)
                    if (ReadFile(path_of(ordinal)) != bytes_of(ordinal)) wrong += " M" + std::to_string(ordinal);
            return wrong;
        }));
    }
    for (std::size_t reader = 3; reader < readers.size(); ++reader) {
        ASSERT_EQ(readers[reader].wait_for(20s), std::future_status::ready) << "a cached member waited for a fetch";
        EXPECT_EQ(readers[reader].get(), "");
    }
    for (std::size_t reader = 0; reader < 3; ++reader)
        EXPECT_EQ(readers[reader].wait_for(0s), std::future_status::timeout) << "a reader did not wait for the fetch";
    release();
    for (std::size_t reader = 0; reader < 3; ++reader) EXPECT_EQ(readers[reader].get(), bytes_of(0));
    serving.End();
    EXPECT_TRUE(served) << message;
    EXPECT_TRUE(fs::is_empty(cache_parent_)) << "the cache outlived the mount";
    for (int ordinal = 0; ordinal < kMembers; ++ordinal) EXPECT_EQ(fetches[ordinal], 1) << ordinal;
}

// What stands in the way is one line and a non-zero exit, nothing mounted.
TEST_F(FuseMount, RefusedMountsSayWhyAndLeaveNothing) {
    const fs::path good = dir.WriteFile("good.zip", testsupport::BuildArchive(testsupport::Container::ZipStored,
                                                                              {{"A.TXT", "a"}}));
    dir.WriteFile("mnt/OCCUPIED", "x");
    struct Case {
        const char* what;
        fs::path archive;
        const char* says;
    };
    const Case cases[] = {
        {"mount point not empty", good, "is not empty"},
        {"archive cannot be opened", dir.path() / "missing.zip", "cannot open the archive"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (std::string(c.what) == "archive cannot be opened") fs::remove(point_ / "OCCUPIED");
        std::string message;
        auto tool = HelperClient::HelperProcess::Start(
            {OMBREX_TOOL_BINARY, {"--cache-dir", cache_parent_.string(), "mount", c.archive.string(), point_.string()},
             std::nullopt, false},
            &message);
        ASSERT_TRUE(tool) << message;
        const auto status = tool->Wait(20s);
        ASSERT_TRUE(status);
        EXPECT_TRUE(status->exited && status->code != 0);
        const std::string& errors = tool->StandardError();
        EXPECT_NE(errors.find(c.says), std::string::npos) << errors;
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
        EXPECT_FALSE(Mounted(point_));
        EXPECT_TRUE(fs::is_empty(cache_parent_));
    }
}

// A real DOS client: DOSBox, headless, mounts the tree as C: and a scratch
// directory as D:, lists every directory with DIR and copies every file with
// COPY. What DOS listed and copied must be the index and the members' bytes.
TEST_F(FuseMount, ADosClientListsAndCopiesExactlyTheTree) {
    if (std::system("command -v dosbox >/dev/null 2>&1") != 0) GTEST_SKIP() << "dosbox is not installed";
    const auto members = Members();
    const fs::path archive =
        dir.WriteFile("game.zip", testsupport::BuildArchive(testsupport::Container::ZipDeflate, members));
    const Expected expected = ExpectedTree(archive);
    Mount(archive);

    const fs::path drive_d = dir.path() / "d";
    fs::create_directories(drive_d);
    const auto dos = [](std::string path) {
        std::replace(path.begin(), path.end(), '/', '\\');
        return path;
    };
    std::string script = "mount c " + point_.string() + "\nmount d " + drive_d.string() + "\nc:\n";
    std::vector<std::string> directories = {""};
    directories.insert(directories.end(), expected.directories.begin(), expected.directories.end());
    for (std::size_t i = 0; i < directories.size(); ++i)
        script += "dir c:\\" + dos(directories[i]) + " > d:\\DIR" + std::to_string(i) + ".TXT\n";
    std::size_t copies = 0;
    for (const auto& [path, bytes] : expected.files)
        script += "copy c:\\" + dos(path) + " d:\\COPY" + std::to_string(copies++) + ".BIN\n";
    script += "exit\n";
    const fs::path config = dir.WriteFile(
        "dosbox.conf", "[sdl]\noutput=surface\n[dosbox]\nmemsize=16\n[cpu]\ncycles=max\n[mixer]\nnosound=true\n"
                       "[speaker]\npcspeaker=false\n[autoexec]\n" + script);
    const std::string command = "SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy HOME=" + dir.path().string() +
                                " timeout 120 dosbox -conf " + config.string() + " -noconsole > " +
                                (dir.path() / "dosbox.log").string() + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << ReadFile(dir.path() / "dosbox.log");

    // DIR prints "NAME     EXT        SIZE DATE TIME" or "NAME <DIR> ...".
    for (std::size_t i = 0; i < directories.size(); ++i) {
        std::ifstream listing(drive_d / ("DIR" + std::to_string(i) + ".TXT"));
        std::map<std::string, std::string> listed;  // name -> size or <DIR>
        for (std::string line; std::getline(listing, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() < 13 || line[0] == ' ' || line.rfind("Directory of", 0) == 0) continue;
            std::string name = line.substr(0, 8);
            name.erase(name.find_last_not_of(' ') + 1);
            std::string extension = line.substr(9, 3);
            extension.erase(extension.find_last_not_of(' ') + 1);
            if (name == "." || name == "..") continue;
            std::istringstream rest(line.substr(12));
            std::string size;
            rest >> size;
            size.erase(std::remove(size.begin(), size.end(), ','), size.end());  // 120,003
            listed[extension.empty() ? name : name + "." + extension] = size;
        }
        std::map<std::string, std::string> wanted;
        const std::string prefix = directories[i].empty() ? "" : directories[i] + "/";
        for (const auto& [path, bytes] : expected.files)
            if (path.rfind(prefix, 0) == 0 && path.find('/', prefix.size()) == std::string::npos)
                wanted[path.substr(prefix.size())] = std::to_string(bytes.size());
        for (const std::string& sub : expected.directories)
            if (sub.rfind(prefix, 0) == 0 && sub.size() > prefix.size() &&
                sub.find('/', prefix.size()) == std::string::npos)
                wanted[sub.substr(prefix.size())] = "<DIR>";
        EXPECT_EQ(listed, wanted) << "DIR of C:\\" << dos(directories[i]);
    }
    std::size_t copy = 0;
    for (const auto& [path, bytes] : expected.files)
        EXPECT_TRUE(ReadFile(drive_d / ("COPY" + std::to_string(copy++) + ".BIN")) == bytes) << path;
}

}  // namespace
