// The mount end to end: the real helper, replaced as it runs out of frames,
// dies or stalls, on archives built here.
#include "client/mounted_archive.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "helper/test_hooks.h"
#include "platform/platform.h"
#include "support/archive_builder.h"
#include "support/helper_session.h"
#include "support/host.h"
#include "support/open_descriptors.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ArchiveHelper::MessageType;
using ArchiveMount::Error;
using HelperClient::MountedArchive;
using HelperClient::MountFailure;
using HelperClient::MountOptions;
using HelperClient::Outcome;
using HelperClient::TestHook;

MountOptions RealHelper(std::chrono::milliseconds timeout = testsupport::kReplyTimeout) {
    MountOptions options;
    options.session.helper_binary = OMBREX_HELPER_BINARY;
    options.session.reply_timeout = timeout;
    options.limits = {5000, 1LL << 40, 1LL << 40};
    return options;
}

// `hook` armed in the first helper only, or in every helper.
void ArmInFirstHelper(MountOptions& options, TestHook hook) {
    options.session.test_hooks = true;
    options.hooks_per_helper = [hook, first = true]() mutable {
        const bool now = first;
        first = false;
        return now ? std::vector<TestHook>{hook} : std::vector<TestHook>{};
    };
}

void ArmInEveryHelper(MountOptions& options, TestHook hook) {
    options.session.test_hooks = true;
    options.hooks_per_helper = [hook] { return std::vector<TestHook>{hook}; };
}

std::unique_ptr<MountedArchive> Mount(const fs::path& archive, const MountOptions& options) {
    MountFailure failure;
    auto mount = MountedArchive::Open(archive.string(), options, &failure);
    EXPECT_NE(mount, nullptr) << failure.outcome.message << "\n" << failure.helper_log;
    return mount;
}

std::string Slurp(const fs::path& file) {
    std::ifstream stream(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

std::uint32_t OrdinalOf(const MountedArchive& mount, const std::string& path) {
    for (const auto& entry : mount.Index().entries) {
        if (entry.path == path) return static_cast<std::uint32_t>(entry.ordinal);
    }
    ADD_FAILURE() << "no member " << path;
    return 0;
}

// Distinct bytes per member, so that a member written from the wrong ordinal shows.
std::string MemberBytes(int number) { return "member " + std::to_string(number) + std::string(number % 64, '.'); }

TEST(MountedArchive, ServesThousandsOfMembersOneByOneAcrossHelperLifetimes) {
    testsupport::TempDir temp;
    std::vector<testsupport::Member> members;
    for (int i = 0; i < 4000; ++i) members.push_back({"m" + std::to_string(i) + ".txt", MemberBytes(i)});
    const auto archive = temp.WriteFile("many.zip", testsupport::BuildArchive(testsupport::Container::ZipDeflate, members));
    const fs::path out = temp.path() / "out";
    fs::create_directory(out);
    const auto descriptors = testsupport::OpenDescriptorCount();
    {
        auto mount = Mount(archive, RealHelper());
        ASSERT_NE(mount, nullptr);
        const auto& entries = mount->Index().entries;
        ASSERT_EQ(entries.size(), members.size());
        for (const auto& entry : entries) {
            const Outcome outcome = mount->Materialize(static_cast<std::uint32_t>(entry.ordinal),
                                                       (out / std::to_string(entry.ordinal)).string());
            ASSERT_TRUE(outcome.ok()) << entry.path << ": " << outcome.message << "\n" << mount->helper_log();
        }
        for (const auto& entry : entries) {
            const int number = std::stoi(entry.path.substr(1));
            ASSERT_EQ(Slurp(out / std::to_string(entry.ordinal)), MemberBytes(number)) << entry.path;
        }
        // 254 members a helper; one sent a request past its frames would be
        // lost, and replaced without a sign but this count.
        EXPECT_EQ(mount->HelpersStarted(), 16);
        EXPECT_EQ(mount->HelpersLost(), 0);
        const auto status = mount->Finish();
        ASSERT_TRUE(status);
        EXPECT_EQ(HelperClient::DescribeExit(*status), "exit 0");
    }
    EXPECT_EQ(testsupport::OpenDescriptorCount(), descriptors);
}

// Two ZIP images of the same size: stored members of equal length.
std::string Stored(const std::string& first) {
    return testsupport::BuildArchive(testsupport::Container::ZipStored, {{"one.txt", first}, {"two.txt", "second"}});
}

// Puts a new file in the archive's place: a helper that has the old one open
// goes on serving it, only a new helper sees the change.
void Replace(const fs::path& archive, const std::string& bytes, fs::file_time_type mtime) {
    const fs::path next = archive.string() + ".next";
    std::ofstream(next, std::ios::binary) << bytes;
    fs::last_write_time(next, mtime);
    fs::rename(next, archive);
}

// Rewrites the archive where it is and gives it `mtime`: the helper that has
// it open reads the new bytes at once.
void Rewrite(const fs::path& archive, const std::string& bytes, fs::file_time_type mtime) {
    std::ofstream(archive, std::ios::binary) << bytes;
    fs::last_write_time(archive, mtime);
}

struct Change {
    const char* name;
    void (*apply)(const fs::path& archive);
    const char* message;
    int helpers;         // started before the change shows
    const char* served;  // what the requests before it wrote
    // Windows refuses to rename over a file another process has open.
    bool posix_only = false;
};

TEST(MountedArchive, AnArchiveChangedSinceItWasIndexedSpendsTheMount) {
    const Change changes[] = {
        {"the same bytes with a later mtime",
         [](const fs::path& archive) { Replace(archive, Stored("first"), fs::last_write_time(archive) + 10s); },
         "archive size or mtime changed since it was indexed", 2, "first", true},
        {"other contents of the same size and mtime",
         [](const fs::path& archive) { Replace(archive, Stored("FIRST"), fs::last_write_time(archive)); },
         "archive contents changed since it was indexed", 2, "first", true},
        // Only the fingerprint of a new helper's index shows this one.
        {"other contents of the same size and mtime, in place",
         [](const fs::path& archive) { Rewrite(archive, Stored("FIRST"), fs::last_write_time(archive)); },
         "archive contents changed since it was indexed", 2, "FIRST"},
        // The helper that has it open notices this one itself.
        {"rewritten in place", [](const fs::path& archive) { std::ofstream(archive, std::ios::binary) << Stored("1st"); },
         "archive size or mtime changed since it was indexed", 1, "first"},
    };
    for (const Change& change : changes) {
        if (change.posix_only && testsupport::kWindowsHost) continue;
        testsupport::TempDir temp;
        const auto archive = temp.WriteFile("a.zip", Stored("first"));
        auto mount = Mount(archive, RealHelper());
        ASSERT_NE(mount, nullptr);
        const std::uint32_t one = OrdinalOf(*mount, "one.txt");
        const auto out = temp.path() / "out.txt";
        ASSERT_TRUE(mount->Materialize(one, out.string()).ok());
        change.apply(archive);

        Outcome outcome;
        for (int requests = 0; requests < 300 && outcome.ok(); ++requests) outcome = mount->Materialize(one, out.string());
        EXPECT_EQ(outcome.code, Error::ChangedSinceIndexed) << change.name;
        EXPECT_EQ(outcome.message, change.message) << change.name;
        EXPECT_EQ(Slurp(out), change.served) << change.name;
        EXPECT_EQ(mount->HelpersStarted(), change.helpers) << change.name;

        const Outcome later = mount->Materialize(OrdinalOf(*mount, "two.txt"), (temp.path() / "two").string());
        EXPECT_EQ(later.code, Error::ChangedSinceIndexed) << change.name;
        EXPECT_EQ(later.message, change.message) << change.name;
        EXPECT_EQ(mount->MaterializeAll((temp.path() / "all").string()).code, Error::ChangedSinceIndexed)
            << change.name;
        EXPECT_FALSE(fs::exists(temp.path() / "two")) << change.name;
        EXPECT_FALSE(fs::exists(temp.path() / "all")) << change.name;
        EXPECT_EQ(mount->HelpersStarted(), change.helpers) << change.name;
    }
}

TEST(MountedArchive, AnArchiveThatCannotBeOpenedAgainFailsOnlyWhileItCannot) {
    testsupport::TempDir temp;
    const std::string bytes = Stored("first");
    const auto archive = temp.WriteFile("a.zip", bytes);
    const auto mtime = fs::last_write_time(archive);
    auto mount = Mount(archive, RealHelper());
    ASSERT_NE(mount, nullptr);
    const std::uint32_t one = OrdinalOf(*mount, "one.txt");
    const auto out = temp.path() / "out.txt";
    fs::remove(archive);

    Outcome outcome;
    for (int requests = 0; requests < 300 && outcome.ok(); ++requests) outcome = mount->Materialize(one, out.string());
    EXPECT_EQ(outcome.code, Error::OpenFailed) << outcome.message;
    EXPECT_EQ(mount->HelpersStarted(), 2);
    EXPECT_EQ(mount->HelpersLost(), 0);

    Replace(archive, bytes, mtime);
    fs::remove(out);
    outcome = mount->Materialize(one, out.string());
    ASSERT_TRUE(outcome.ok()) << outcome.message;
    EXPECT_EQ(Slurp(out), "first");
    EXPECT_EQ(mount->HelpersStarted(), 3);
}

// A small ZIP whose every member is checked after each kind of loss.
class LostHelpers : public ::testing::Test {
protected:
    void SetUp() override {
        archive = temp.WriteFile("a.zip", testsupport::BuildArchive(testsupport::Container::ZipDeflate,
                                                                    {{"one.txt", "first"},
                                                                     {"two.txt", "second"},
                                                                     {"three.txt", "third"}}));
    }

    testsupport::TempDir temp;
    fs::path archive;
};

TEST_F(LostHelpers, AHelperLostInTheMiddleIsReplacedWithoutTheCallerNoticing) {
    struct Loss {
        const char* name;
        MessageType hook;
        bool on_materialize_all;
    };
    const Loss losses[] = {
        {"an abort on a member", MessageType::AbortHook, false},
        {"a stall on a member", MessageType::StallHook, false},
        {"an abort in materialize-all", MessageType::AbortHook, true},
    };
    const std::pair<const char*, const char*> expected[] = {{"one.txt", "first"}, {"two.txt", "second"}, {"three.txt", "third"}};
    for (const Loss& loss : losses) {
        MountOptions options = RealHelper(2s);
        ArmInFirstHelper(options, {loss.hook, loss.on_materialize_all ? ArchiveHelper::kMaterializeAllOrdinal : 1});
        auto mount = Mount(archive, options);
        ASSERT_NE(mount, nullptr);
        ASSERT_EQ(OrdinalOf(*mount, "two.txt"), 1u);

        const fs::path out = temp.path() / loss.name;
        fs::create_directory(out);
        if (loss.on_materialize_all) {
            const Outcome outcome = mount->MaterializeAll(out.string());
            ASSERT_TRUE(outcome.ok()) << loss.name << ": " << outcome.message;
        } else {
            for (const auto& [path, bytes] : expected) {
                const std::uint32_t ordinal = OrdinalOf(*mount, path);
                const Outcome outcome = mount->Materialize(ordinal, (out / std::to_string(ordinal)).string());
                ASSERT_TRUE(outcome.ok()) << loss.name << ", " << path << ": " << outcome.message;
            }
        }
        for (const auto& [path, bytes] : expected) {
            EXPECT_EQ(Slurp(out / std::to_string(OrdinalOf(*mount, path))), bytes) << loss.name << ", " << path;
        }
        EXPECT_EQ(mount->HelpersStarted(), 2) << loss.name;
        EXPECT_EQ(mount->HelpersLost(), 1) << loss.name;
    }
}

TEST_F(LostHelpers, ARequestThatKillsTwoHelpersFailsAndTheNextIsServed) {
    MountOptions options = RealHelper();
    ArmInEveryHelper(options, {MessageType::AbortHook, 1});
    auto mount = Mount(archive, options);
    ASSERT_NE(mount, nullptr);
    ASSERT_EQ(OrdinalOf(*mount, "two.txt"), 1u);

    const auto two = temp.path() / "two";
    const Outcome outcome = mount->Materialize(OrdinalOf(*mount, "two.txt"), two.string());
    EXPECT_EQ(outcome.code, Error::HelperFailed);
    EXPECT_EQ(outcome.message, std::string("the helper ended without a reply (") + testsupport::kAbortedExit + ")");
    EXPECT_EQ(mount->HelpersStarted(), 2);
    EXPECT_EQ(mount->HelpersLost(), 2);
    EXPECT_FALSE(fs::exists(two));

    const auto three = temp.path() / "three";
    const Outcome next = mount->Materialize(OrdinalOf(*mount, "three.txt"), three.string());
    ASSERT_TRUE(next.ok()) << next.message;
    EXPECT_EQ(Slurp(three), "third");
    EXPECT_EQ(mount->HelpersStarted(), 3);
}

TEST_F(LostHelpers, AnAnswerStandsEvenWhenItIsHelperFailed) {
    auto mount = Mount(archive, RealHelper());
    ASSERT_NE(mount, nullptr);
    EXPECT_EQ(mount->Materialize(99, (temp.path() / "x").string()).code, Error::NoSuchEntry);
    const Outcome refused = mount->Materialize(0, platform::PathToUtf8(temp.path()) + "/\xff");
    EXPECT_EQ(refused.code, Error::HelperFailed);
    EXPECT_EQ(refused.message, "the path is not valid UTF-8");
    EXPECT_EQ(mount->HelpersStarted(), 1);
    EXPECT_EQ(mount->HelpersLost(), 0);
}

TEST(MountedArchive, AWindowReachesEveryHelperThroughTheCallersHandle) {
    testsupport::TempDir temp;
    const std::string zip = testsupport::BuildArchive(testsupport::Container::ZipStored, {{"inner.txt", "inside"}});
    const std::string junk(1000, 'j');
    const auto image = temp.WriteFile("disk.img", junk + zip + junk);
    std::string reason;
    const platform::Descriptor passed = platform::OpenFileForChild(image, &reason);
    ASSERT_TRUE(passed.valid()) << reason;
    MountOptions options = RealHelper();
    options.session.archive_handle = platform::HandleValue(passed.get());
    options.window = {static_cast<std::int64_t>(junk.size()), static_cast<std::int64_t>(zip.size()), true};
    ArmInFirstHelper(options, {MessageType::AbortHook, 0});
    {
        auto mount = Mount(image, options);
        ASSERT_NE(mount, nullptr);
        ASSERT_EQ(OrdinalOf(*mount, "inner.txt"), 0u);
        const auto out = temp.path() / "inner";
        const Outcome outcome = mount->Materialize(0, out.string());
        ASSERT_TRUE(outcome.ok()) << outcome.message;
        EXPECT_EQ(Slurp(out), "inside");
        EXPECT_EQ(mount->HelpersStarted(), 2);
    }
    EXPECT_TRUE(testsupport::HandleIsOpen(*options.session.archive_handle)) << "the caller's handle was closed";
}

TEST(MountedArchive, AFirstOpenThatFailsSaysWhetherTheHelperRan) {
    testsupport::TempDir temp;
    const auto text = temp.WriteFile("notes.txt", "not an archive");
    MountFailure failure;
    EXPECT_EQ(MountedArchive::Open(text.string(), RealHelper(), &failure), nullptr);
    EXPECT_EQ(failure.outcome.code, Error::NotRecognized);
    EXPECT_TRUE(failure.helper_started);

    MountOptions missing = RealHelper();
    missing.session.helper_binary = "/nonexistent/helper";
    EXPECT_EQ(MountedArchive::Open(text.string(), missing, &failure), nullptr);
    EXPECT_EQ(failure.outcome.code, Error::HelperFailed);
    EXPECT_FALSE(failure.helper_started);
}

}  // namespace
