#include "support/zip_member_streams.h"

#include <fstream>
#include <iterator>

namespace testsupport {
namespace {

std::uint32_t Le(const std::vector<unsigned char>& b, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | b[at + i];
    return v;
}

void Put(std::vector<unsigned char>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

constexpr std::uint32_t kLocalHeader = 0x04034b50;
constexpr std::size_t kLocalHeaderSize = 30;

}  // namespace

bool ReadMemberStreams(const std::vector<unsigned char>& zip, std::vector<MemberStream>& members) {
    members.clear();
    std::size_t at = 0;
    while (at + 4 <= zip.size() && Le(zip, at, 4) == kLocalHeader) {
        if (zip.size() - at < kLocalHeaderSize) return false;
        MemberStream m;
        m.flags = static_cast<std::uint16_t>(Le(zip, at + 6, 2));
        m.method = static_cast<std::uint16_t>(Le(zip, at + 8, 2));
        m.crc32 = Le(zip, at + 14, 4);
        const std::uint64_t compressed = Le(zip, at + 18, 4);
        m.size = Le(zip, at + 22, 4);
        const std::size_t name_length = Le(zip, at + 26, 2);
        const std::size_t extra_length = Le(zip, at + 28, 2);
        if (m.flags & 0x0008) return false;
        const std::size_t data_at = at + kLocalHeaderSize + name_length + extra_length;
        if (data_at > zip.size() || zip.size() - data_at < compressed) return false;
        m.name.assign(zip.begin() + static_cast<long>(at + kLocalHeaderSize),
                      zip.begin() + static_cast<long>(at + kLocalHeaderSize + name_length));
        m.data.assign(zip.begin() + static_cast<long>(data_at),
                      zip.begin() + static_cast<long>(data_at + compressed));
        members.push_back(std::move(m));
        at = data_at + compressed;
    }
    return true;
}

std::vector<unsigned char> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<unsigned char> OneMemberZip(const MemberStream& member) {
    const std::uint32_t version = 10;  // 1.0: what shrink and implode need
    auto header = [&](bool central) {
        std::vector<unsigned char> h;
        Put(h, central ? 0x02014b50 : kLocalHeader, 4);
        if (central) Put(h, version, 2);  // made by: DOS
        Put(h, version, 2);
        Put(h, member.flags, 2);
        Put(h, member.method, 2);
        Put(h, 0, 2);           // time 00:00:00
        Put(h, 0x21, 2);        // date 1980-01-01
        Put(h, member.crc32, 4);
        Put(h, static_cast<std::uint32_t>(member.data.size()), 4);
        Put(h, static_cast<std::uint32_t>(member.size), 4);
        Put(h, static_cast<std::uint32_t>(member.name.size()), 2);
        Put(h, 0, 2);  // extra
        if (central) {
            Put(h, 0, 2);  // comment
            Put(h, 0, 2);  // disk
            Put(h, 0, 2);  // internal attributes
            Put(h, 0, 4);  // external attributes
            Put(h, 0, 4);  // local header offset
        }
        h.insert(h.end(), member.name.begin(), member.name.end());
        return h;
    };
    std::vector<unsigned char> zip = header(false);
    zip.insert(zip.end(), member.data.begin(), member.data.end());
    const std::size_t central_at = zip.size();
    const std::vector<unsigned char> central = header(true);
    zip.insert(zip.end(), central.begin(), central.end());
    Put(zip, 0x06054b50, 4);
    Put(zip, 0, 2);
    Put(zip, 0, 2);
    Put(zip, 1, 2);
    Put(zip, 1, 2);
    Put(zip, static_cast<std::uint32_t>(central.size()), 4);
    Put(zip, static_cast<std::uint32_t>(central_at), 4);
    Put(zip, 0, 2);
    return zip;
}

}  // namespace testsupport
