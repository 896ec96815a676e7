// Test-side access to the raw member streams of small ZIP files, by walking
// local headers, and a writer of one-member ZIPs around a stream of ours.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct MemberStream {
    std::string name;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc32 = 0;
    std::uint64_t size = 0;
    std::vector<unsigned char> data;  // the compressed bytes as stored
};

// Every member from the first local header up to the central directory.
// False when a header or its data runs past the end, or when the sizes are
// deferred to a data descriptor (not needed by our fixtures).
bool ReadMemberStreams(const std::vector<unsigned char>& zip, std::vector<MemberStream>& members);

// The whole file; empty when it cannot be read.
std::vector<unsigned char> ReadFileBytes(const std::string& path);

// A complete ZIP (local header, data, central directory, end record) holding
// `member.data` unchanged under its name, method, flags, CRC and size.
std::vector<unsigned char> OneMemberZip(const MemberStream& member);

}  // namespace testsupport
