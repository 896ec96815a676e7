#include "support/legacy_fixtures.h"

#include <gtest/gtest.h>

namespace testsupport {

std::vector<FixtureMember> LegacyFixtureMembers(std::uint16_t method) {
    static const char* const kArchives[] = {
        "SHRUNK.ZIP",
        "imploding-4Kdict-2trees.zip",
        "imploding-8Kdict-3trees.zip",
        "lorem-ipsum-implode.zip",
        "moby-imploded.zip",
        "zip2-shrink.zip",
        "zip2-implode.zip",
        "Zip.shrink.zip",
        "Zip.implode.zip",
        "Zip.reduce1.zip",
    };
    std::vector<FixtureMember> found;
    for (const char* archive : kArchives) {
        const std::vector<unsigned char> bytes =
            ReadFileBytes(std::string(OMBREX_FIXTURES_DIR) + "/legacy-zip/" + archive);
        std::vector<MemberStream> members;
        EXPECT_FALSE(bytes.empty()) << archive;
        EXPECT_TRUE(ReadMemberStreams(bytes, members)) << archive;
        for (MemberStream& m : members)
            if (m.method == method) found.push_back({archive, std::move(m)});
    }
    return found;
}

}  // namespace testsupport
