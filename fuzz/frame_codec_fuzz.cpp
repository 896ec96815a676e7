// Frame header and every request decoder, plus the parent's reply decoders.
// Byte 0 picks the decoder, the rest is the header or payload. Each decoder
// must accept exactly the inputs an independent reading of the layout
// accepts, and what it accepts must re-encode to the very same bytes: a
// strict decoder has no second spelling of a request.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "client/reply_decoding.h"
#include "client/request_encoding.h"
#include "fuzz_support.h"
#include "helper/frame_codec.h"

namespace {

using namespace ArchiveHelper;

std::uint64_t Le(Bytes b, std::size_t at, int width) {
    std::uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | b[at + i];
    return v;
}

bool KnownType(unsigned code) {
    switch (code) {
        case 1: case 2: case 3: case 4: case 5: case 65: case 66: case 67: case 128: case 129: case 130:
            return true;
        default:
            return false;
    }
}

std::string Size(Bytes b) { return "payload of " + std::to_string(b.size()) + " bytes"; }

void CheckHeader(Bytes in, std::uint32_t cap) {
    FrameHeader header;
    const bool ok = ParseFrameHeader(in, cap, header);
    const bool expected = in.size() >= kFrameHeaderSize && Le(in, 0, 4) == kFrameMagic &&
                          Le(in, 4, 2) == kProtocolVersion && KnownType(in[6]) && Le(in, 8, 4) <= cap;
    FUZZ_CHECK(ok == expected, "header verdict, cap " + std::to_string(cap));
    if (!ok) return;
    FUZZ_CHECK(static_cast<unsigned>(header.type) == in[6] && header.length == Le(in, 8, 4), "header fields");
    // EncodeFrame writes byte 7 as 0, which the parser never looks at.
    const std::vector<unsigned char> payload(header.length);
    std::vector<unsigned char> frame = EncodeFrame(header.type, payload);
    FUZZ_CHECK(frame.size() == kFrameHeaderSize + header.length, "frame size");
    frame[7] = in[7];
    FUZZ_CHECK(std::equal(frame.begin(), frame.begin() + kFrameHeaderSize, in.begin()), "header round trip");
}

void CheckOpen(Bytes in) {
    OpenRequest request;
    const bool ok = DecodeOpenRequest(in, request);
    bool expected = in.size() >= 4 && Le(in, 0, 4) <= in.size() - 4 && in.size() == 53 + Le(in, 0, 4);
    if (expected) {
        const std::size_t l = Le(in, 0, 4);
        expected = in[28 + l] <= 1 && static_cast<std::int64_t>(Le(in, 37 + l, 8)) >= 0 &&
                   static_cast<std::int64_t>(Le(in, 45 + l, 8)) >= 0;
    }
    FUZZ_CHECK(ok == expected, "open verdict, " + Size(in));
    if (!ok) return;
    const std::vector<unsigned char> again = HelperClient::EncodeOpenRequest(request);
    FUZZ_CHECK(std::equal(again.begin(), again.end(), in.begin(), in.end()), "open round trip");
}

void CheckMaterialize(Bytes in) {
    MaterializeRequest request;
    const bool ok = DecodeMaterializeRequest(in, request);
    const bool expected = in.size() >= 8 && Le(in, 0, 4) <= 0x7FFFFFFF && in.size() == 8 + Le(in, 4, 4);
    FUZZ_CHECK(ok == expected, "materialize verdict, " + Size(in));
    if (!ok) return;
    FUZZ_CHECK(request.ordinal >= 0, "ordinal sign");
    const auto again = HelperClient::EncodeMaterializeRequest(static_cast<std::uint32_t>(request.ordinal), request.path);
    FUZZ_CHECK(std::equal(again.begin(), again.end(), in.begin(), in.end()), "materialize round trip");
}

void CheckMaterializeAll(Bytes in) {
    MaterializeAllRequest request;
    const bool ok = DecodeMaterializeAllRequest(in, request);
    const bool expected = in.size() >= 4 && in.size() == 4 + Le(in, 0, 4);
    FUZZ_CHECK(ok == expected, "materialize-all verdict, " + Size(in));
    if (!ok) return;
    const auto again = HelperClient::EncodeMaterializeAllRequest(request.path);
    FUZZ_CHECK(std::equal(again.begin(), again.end(), in.begin(), in.end()), "materialize-all round trip");
}

void CheckHook(Bytes in) {
    std::uint32_t value = 0;
    const bool ok = DecodeHookRequest(in, value);
    FUZZ_CHECK(ok == (in.size() == 4), "hook verdict, " + Size(in));
    if (ok) FUZZ_CHECK(value == Le(in, 0, 4), "hook value");
}

// The parent reads replies from a helper that may be confused by a hostile
// archive; its decoders must hold to the same rules.
void CheckReplies(std::uint8_t which, Bytes in) {
    if (which == 0) {
        StatusReply status;
        if (!HelperClient::DecodeStatusReply(in, status)) return;
        const auto again = EncodeStatusReply(status.code, status.message);
        FUZZ_CHECK(std::equal(again.begin(), again.end(), in.begin(), in.end()), "status reply round trip");
    } else if (which == 1) {
        HelloReply hello;
        if (!HelperClient::DecodeHelloReply(in, hello)) return;
        const auto again = EncodeHelloReply(hello.protocol_version, hello.library_version, hello.library_details);
        FUZZ_CHECK(std::equal(again.begin(), again.end(), in.begin(), in.end()), "hello reply round trip");
    } else {
        IndexSummary index;
        if (!HelperClient::DecodeIndexReply(in, index)) return;
        FUZZ_CHECK(static_cast<int>(index.kind) <= 7 && index.kind_flag <= 1, "index kind");
        const auto again = EncodeIndexReply(index);
        FUZZ_CHECK(std::equal(again.begin(), again.end(), in.begin(), in.end()), "index reply round trip");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const Bytes in(data + 1, size - 1);
    switch (data[0] % 8) {
        case 0:
            CheckHeader(in, kMaxRequestPayload);
            CheckHeader(in, kMaxIndexReplyPayload);
            break;
        case 1: CheckOpen(in); break;
        case 2: CheckMaterialize(in); break;
        case 3: CheckMaterializeAll(in); break;
        case 4: CheckHook(in); break;
        default: CheckReplies(static_cast<std::uint8_t>(data[0] % 8 - 5), in); break;
    }
    return 0;
}
