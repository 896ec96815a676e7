// The ombrex-archive command, run as a process on real archives.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "client/helper_process.h"
#include "platform/platform.h"
#include "support/archive_builder.h"
#include "support/helper_session.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::HostText;

struct ToolRun {
    int exit_code = -1;
    std::string out;
    std::string err;
};

ToolRun Tool(const std::vector<std::string>& arguments) {
    std::string message;
    auto process = HelperClient::HelperProcess::Start({OMBREX_TOOL_BINARY, arguments, {}, false}, &message);
    EXPECT_NE(process, nullptr) << message;
    if (!process) return {};
    process->CloseInput();
    ToolRun run;
    const auto out = process->ReadToEnd(60s);
    if (out) run.out.assign(out->begin(), out->end());
    const auto status = process->Wait(60s);
    EXPECT_TRUE(status && status->exited);
    if (status) run.exit_code = status->code;
    run.err = process->StandardError();
    return run;
}

std::string Slurp(const fs::path& file) {
    std::ifstream stream(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

class ArchiveTool : public ::testing::Test {
protected:
    void SetUp() override {
        archive = temp.WriteFile(
            "sample.zip", testsupport::BuildArchive(testsupport::Container::ZipDeflate,
                                                    {{"Game Files/Level One.dat", "level one"},
                                                     {"Game Files/Level Two.dat", "level two"},
                                                     {"empty", "", 1700000000, true},
                                                     {"readme.txt", "read me"}}));
    }

    testsupport::TempDir temp;
    fs::path archive;
};

TEST_F(ArchiveTool, ListShowsEveryEntryWithItsDosPathAsTableAndJson) {
    const ToolRun table = Tool({"list", archive.string()});
    ASSERT_EQ(table.exit_code, 0) << table.err;
    EXPECT_EQ(table.out.rfind("ORDINAL  DOS PATH", 0), 0u) << table.out;
    EXPECT_NE(table.out.find("GAMEFI~1\\LEVELO~1.DAT"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("README.TXT"), std::string::npos) << table.out;

    const ToolRun json = Tool({"--json", "list", archive.string()});
    ASSERT_EQ(json.exit_code, 0) << json.err;
    EXPECT_EQ(json.out.rfind("{\"kind\":\"zip\",", 0), 0u) << json.out;
    EXPECT_NE(json.out.find("\"path\":\"Game Files/Level Two.dat\",\"dos_path\":\"GAMEFI~1\\\\LEVELT~1.DAT\""),
              std::string::npos)
        << json.out;

    const ToolRun info = Tool({"info", archive.string()});
    ASSERT_EQ(info.exit_code, 0) << info.err;
    EXPECT_NE(info.out.find(HostText("kind: zip\n")), std::string::npos) << info.out;
    EXPECT_NE(info.out.find(HostText("entries: 5 (3 files, 2 directories)\n")), std::string::npos) << info.out;
}

TEST_F(ArchiveTool, ExtractFindsAMemberByArchivePathDosPathOrOrdinal) {
    for (const std::string member : {"Game Files/Level Two.dat", "gamefi~1/levelt~1.dat", "#1"}) {
        const fs::path out = temp.path() / "out.dat";
        fs::remove(out);
        const ToolRun run = Tool({"extract", archive.string(), member, out.string()});
        ASSERT_EQ(run.exit_code, 0) << member << ": " << run.err;
        EXPECT_EQ(Slurp(out), "level two") << member;
    }
    // Into a directory, under the member's DOS name.
    const ToolRun into = Tool({"extract", archive.string(), "readme.txt", temp.path().string()});
    ASSERT_EQ(into.exit_code, 0) << into.err;
    EXPECT_EQ(Slurp(temp.path() / "README.TXT"), "read me");

    const ToolRun missing = Tool({"extract", archive.string(), "nothing.txt", (temp.path() / "x").string()});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_EQ(missing.err, HostText("ombrex-archive: " + archive.string() + ": no member 'nothing.txt'\n"));
    const ToolRun directory = Tool({"extract", archive.string(), "empty", (temp.path() / "x").string()});
    EXPECT_EQ(directory.exit_code, 1);
    EXPECT_EQ(directory.err, HostText("ombrex-archive: " + archive.string() + ": 'empty' is a directory\n"));
}

TEST_F(ArchiveTool, ExtractAllLaysOutTheDosTreeAndLeavesNoScratchBehind) {
    const fs::path target = temp.path() / "dos";
    const ToolRun run = Tool({"extract-all", archive.string(), target.string()});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(target)) {
        found.push_back(fs::relative(entry.path(), target).generic_string() + (entry.is_directory() ? "/" : ""));
    }
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{"EMPTY/", "GAMEFI~1/", "GAMEFI~1/LEVELO~1.DAT",
                                               "GAMEFI~1/LEVELT~1.DAT", "README.TXT"}));
    EXPECT_EQ(Slurp(target / "GAMEFI~1/LEVELO~1.DAT"), "level one");
    // A second pass over the same tree replaces it in place.
    const ToolRun again = Tool({"extract-all", archive.string(), target.string()});
    EXPECT_EQ(again.exit_code, 0) << again.err;
    EXPECT_EQ(Slurp(target / "README.TXT"), "read me");
}

TEST_F(ArchiveTool, AWindowIsReadThroughAPassedDescriptor) {
    const std::string zip = testsupport::BuildArchive(testsupport::Container::ZipStored, {{"inner.txt", "inside"}});
    const std::string junk(4096, 'j');
    const auto image = temp.WriteFile("disk.img", junk + zip + junk);
    const std::string window = std::to_string(junk.size()) + ":" + std::to_string(zip.size());
    const ToolRun run = Tool({"--window", window, "extract", image.string(), "INNER.TXT", (temp.path() / "i").string()});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(Slurp(temp.path() / "i"), "inside");
}

TEST_F(ArchiveTool, FailuresAreOneLineWithTheCodeAndTheExitCodeSaysWhose) {
    const auto text = temp.WriteFile("notes.txt", "not an archive");
    const ToolRun refused = Tool({"list", text.string()});
    EXPECT_EQ(refused.exit_code, 1);
    EXPECT_EQ(refused.err.rfind("ombrex-archive: " + text.string() + ": not a recognized archive (code 2)", 0), 0u)
        << refused.err;
    EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;

    const ToolRun limited = Tool({"--max-entries", "2", "list", archive.string()});
    EXPECT_EQ(limited.exit_code, 1);
    EXPECT_NE(limited.err.find(": too many entries (code 4)"), std::string::npos) << limited.err;

    const ToolRun usage = Tool({"list"});
    EXPECT_EQ(usage.exit_code, 2);
    EXPECT_EQ(usage.err, HostText("ombrex-archive: usage: ombrex-archive list ARCHIVE (see --help)\n"));

    const auto failing = platform::PathToUtf8(testsupport::FakeHelper(temp.path(), "exits-at-once"));
    const ToolRun no_helper = Tool({"--helper", failing, "list", archive.string()});
    EXPECT_EQ(no_helper.exit_code, 3);
    EXPECT_EQ(no_helper.err.rfind("ombrex-archive: " + archive.string() +
                                      ": the archive helper failed or spoke out of protocol (code 13): "
                                      "the helper ended without a reply (exit 3)",
                                  0),
              0u)
        << no_helper.err;
}

}  // namespace
