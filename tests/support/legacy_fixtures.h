// The real shrink and implode members under tests/fixtures/legacy-zip/.
#pragma once

#include "support/zip_member_streams.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct FixtureMember {
    std::string archive;  // file name inside tests/fixtures/legacy-zip/
    MemberStream member;
};

// Every member stored with `method` (1 or 6) in the fixture archives; a
// fixture that cannot be read or walked fails the calling test.
std::vector<FixtureMember> LegacyFixtureMembers(std::uint16_t method);

}  // namespace testsupport
