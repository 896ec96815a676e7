// Command-line driver of the legacy ZIP decoders, for tools/crosscheck-legacy.sh
// and for whole-process timing against other unzip programs.
//
//   legacy-decode list ZIP              decode every shrink/implode member, print
//                                       name, method, flags, size, CRCs, verdict
//   legacy-decode extract ZIP NAME      decode one member to standard output; NAME
//                                       may be #N for the N-th member (from 0)
//   legacy-decode raw METHOD FLAGS SIZE STREAM
//                                       decode a bare member stream to standard output
//   legacy-decode wrap KIND IN OUT      write a one-member ZIP around our encoder's
//                                       stream of IN; KIND is shrink, implode-4k-2,
//                                       implode-4k-3, implode-8k-2 or implode-8k-3
//   legacy-decode wrap-stream METHOD FLAGS PLAIN STREAM OUT
//                                       write a one-member ZIP around a bare stream
//                                       whose decoded bytes are PLAIN
#include "formats/explode.h"
#include "formats/unshrink.h"
#include "platform/platform.h"
#include "support/implode_encoder.h"
#include "support/shrink_encoder.h"
#include "support/zip_member_streams.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace {

LegacyZip::Status DecodeMember(const testsupport::MemberStream& m, const LegacyZip::ByteSink& sink, std::string* error) {
    std::size_t pos = 0;
    const LegacyZip::ByteSource source = [&](unsigned char* buffer, unsigned long long capacity) {
        const std::size_t n = std::min<std::size_t>(capacity, m.data.size() - pos);
        std::memcpy(buffer, m.data.data() + pos, n);
        pos += n;
        return static_cast<unsigned long long>(n);
    };
    if (m.method == 1) return LegacyZip::Unshrink(source, m.size, sink, error);
    return LegacyZip::Explode(source, m.data.size(), m.size, (m.flags & 2) != 0, (m.flags & 4) != 0, sink, error);
}

bool WriteOut(const unsigned char* data, unsigned long long count) {
    while (count > 0) {
        const long long n = platform::WriteSome(1, data, static_cast<std::size_t>(count));
        if (n <= 0) return false;
        data += n;
        count -= static_cast<unsigned long long>(n);
    }
    return true;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "legacy-decode: %s\n", message.c_str());
    return 1;
}

bool LoadMembers(const char* path, std::vector<testsupport::MemberStream>& members) {
    const auto bytes = testsupport::ReadFileBytes(path);
    return !bytes.empty() && testsupport::ReadMemberStreams(bytes, members);
}

int List(const char* path) {
    std::vector<testsupport::MemberStream> members;
    if (!LoadMembers(path, members)) return Fail(std::string("cannot walk ") + path);
    int bad = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
        const auto& m = members[i];
        if (m.method != 1 && m.method != 6) continue;
        uLong crc = crc32(0, nullptr, 0);
        const LegacyZip::ByteSink sink = [&](const unsigned char* data, unsigned long long count) {
            crc = crc32(crc, data, static_cast<uInt>(count));
            return true;
        };
        std::string error = "ok";
        const auto status = DecodeMember(m, sink, &error);
        const bool good = status == LegacyZip::Status::Ok && crc == m.crc32;
        bad += !good;
        std::printf("#%zu\t%s\t%u\t0x%04x\t%llu\t%08lx\t%08x\t%s\n", i, m.name.c_str(), m.method, m.flags,
                    static_cast<unsigned long long>(m.size), crc, m.crc32, good ? "ok" : error.c_str());
    }
    return bad == 0 ? 0 : 1;
}

int Extract(const char* path, const std::string& name) {
    std::vector<testsupport::MemberStream> members;
    if (!LoadMembers(path, members)) return Fail(std::string("cannot walk ") + path);
    for (std::size_t i = 0; i < members.size(); ++i) {
        const auto& m = members[i];
        if (m.name != name && name != "#" + std::to_string(i)) continue;
        if (m.method != 1 && m.method != 6) return Fail(name + ": not shrink or implode");
        std::string error;
        if (DecodeMember(m, WriteOut, &error) != LegacyZip::Status::Ok) return Fail(name + ": " + error);
        return 0;
    }
    return Fail(name + ": no such member");
}

int Raw(const char* method, const char* flags, const char* size, const char* path) {
    testsupport::MemberStream m;
    m.method = static_cast<std::uint16_t>(std::stoul(method));
    m.flags = static_cast<std::uint16_t>(std::stoul(flags, nullptr, 0));
    m.size = std::stoull(size);
    m.data = testsupport::ReadFileBytes(path);
    std::string error;
    if (DecodeMember(m, WriteOut, &error) != LegacyZip::Status::Ok) return Fail(std::string(path) + ": " + error);
    return 0;
}

testsupport::MemberStream Plain(const char* path, std::vector<unsigned char>& data) {
    testsupport::MemberStream m;
    data = testsupport::ReadFileBytes(path);
    m.name = std::strrchr(path, '/') ? std::strrchr(path, '/') + 1 : path;
    m.size = data.size();
    m.crc32 = static_cast<std::uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
    return m;
}

int WriteZip(const testsupport::MemberStream& m, const char* out) {
    const auto zip = testsupport::OneMemberZip(m);
    std::ofstream file(out, std::ios::binary);
    file.write(reinterpret_cast<const char*>(zip.data()), static_cast<std::streamsize>(zip.size()));
    return file ? 0 : Fail(std::string("cannot write ") + out);
}

int WrapStream(const char* method, const char* flags, const char* plain, const char* stream, const char* out) {
    std::vector<unsigned char> data;
    testsupport::MemberStream m = Plain(plain, data);
    m.method = static_cast<std::uint16_t>(std::stoul(method));
    m.flags = static_cast<std::uint16_t>(std::stoul(flags, nullptr, 0));
    m.data = testsupport::ReadFileBytes(stream);
    return WriteZip(m, out);
}

int Wrap(const std::string& kind, const char* in, const char* out) {
    std::vector<unsigned char> data;
    testsupport::MemberStream m = Plain(in, data);
    if (kind == "shrink") {
        m.method = 1;
        m.data = testsupport::ShrinkEncode(data);
    } else if (kind.rfind("implode-", 0) == 0 && kind.size() == 12) {
        const testsupport::ImplodeKind k{kind.substr(8, 2) == "8k", kind.substr(11) == "3"};
        m.method = 6;
        m.flags = k.flags();
        m.data = testsupport::ImplodeEncode(data, k);
    } else {
        return Fail("unknown kind " + kind);
    }
    return WriteZip(m, out);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "list" && argc == 3) return List(argv[2]);
    if (command == "extract" && argc == 4) return Extract(argv[2], argv[3]);
    if (command == "raw" && argc == 6) return Raw(argv[2], argv[3], argv[4], argv[5]);
    if (command == "wrap" && argc == 5) return Wrap(argv[2], argv[3], argv[4]);
    if (command == "wrap-stream" && argc == 7) return WrapStream(argv[2], argv[3], argv[4], argv[5], argv[6]);
    std::fprintf(stderr,
                 "usage: legacy-decode list ZIP | extract ZIP NAME | raw METHOD FLAGS SIZE STREAM | "
                 "wrap KIND IN OUT | wrap-stream METHOD FLAGS PLAIN STREAM OUT\n");
    return 2;
}
