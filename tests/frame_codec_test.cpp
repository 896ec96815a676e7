#include "helper/frame_codec.h"

#include <gtest/gtest.h>

#include "client/reply_decoding.h"
#include "client/request_encoding.h"
#include "support/helper_session.h"
#include "support/loop_harness.h"

namespace {

using namespace ArchiveHelper;
using Buffer = std::vector<unsigned char>;

Buffer Header(std::uint32_t magic, std::uint16_t version, std::uint8_t type, std::uint8_t reserved,
              std::uint32_t length) {
    ByteWriter writer;
    writer.U32(magic);
    writer.U16(version);
    writer.U8(type);
    writer.U8(reserved);
    writer.U32(length);
    return writer.Take();
}

TEST(FrameHeader, AcceptsOnlyTheElevenTypesTheVersionAndLengthsUpToTheCap) {
    struct Case {
        const char* name;
        Buffer header;
        bool ok;
    };
    const Case cases[] = {
        {"hello", Header(kFrameMagic, 3, 1, 0, 0), true},
        {"reserved byte ignored", Header(kFrameMagic, 3, 2, 0xFF, 7), true},
        {"length at cap", Header(kFrameMagic, 3, 3, 0, 0x10000), true},
        {"length past cap", Header(kFrameMagic, 3, 3, 0, 0x10001), false},
        {"hook 130", Header(kFrameMagic, 3, 130, 0, 4), true},
        {"reply type 67", Header(kFrameMagic, 3, 67, 0, 0), true},
        {"type 0", Header(kFrameMagic, 3, 0, 0, 0), false},
        {"type 6", Header(kFrameMagic, 3, 6, 0, 0), false},
        {"type 64", Header(kFrameMagic, 3, 64, 0, 0), false},
        {"type 68", Header(kFrameMagic, 3, 68, 0, 0), false},
        {"type 127", Header(kFrameMagic, 3, 127, 0, 0), false},
        {"type 131", Header(kFrameMagic, 3, 131, 0, 0), false},
        {"version 03 01", Header(kFrameMagic, 0x0103, 1, 0, 0), false},
        {"version 2", Header(kFrameMagic, 2, 1, 0, 0), false},
        {"magic byte swapped", Header(0x4F4D4148, 3, 1, 0, 0), false},
        {"eleven bytes", Buffer{0x4F, 0x4D, 0x41, 0x48, 3, 0, 1, 0, 0, 0, 0}, false},
    };
    for (const auto& c : cases) {
        FrameHeader parsed;
        EXPECT_EQ(ParseFrameHeader(c.header, kMaxRequestPayload, parsed), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(static_cast<int>(parsed.type), c.header[6]) << c.name;
        }
    }
}

TEST(FrameHeader, EncodeFrameWritesMagicVersionTypeZeroAndLength) {
    const Buffer payload = {9, 8, 7};
    const Buffer frame = EncodeFrame(MessageType::IndexReply, payload);
    const Buffer expected = {0x4F, 0x4D, 0x41, 0x48, 3, 0, 0x42, 0, 3, 0, 0, 0, 9, 8, 7};
    EXPECT_EQ(frame, expected);
}

TEST(StatusReply, MalformedRequestFrameIsTheExactByteSequence) {
    const Buffer frame =
        EncodeFrame(MessageType::StatusReply, EncodeStatusReply(ArchiveMount::Error::HelperFailed, "malformed request frame"));
    Buffer expected = {0x4F, 0x4D, 0x41, 0x48, 0x03, 0x00, 0x43, 0x00, 0x1C, 0x00, 0x00, 0x00,
                       0x0D, 0x17, 0x00, 0x00, 0x00};
    for (char c : std::string("malformed request frame")) expected.push_back(static_cast<unsigned char>(c));
    EXPECT_EQ(frame, expected);
}

Buffer OpenPayload(const std::string& path) {
    OpenRequest request;
    request.path = path;
    request.limits = {1, 2, 3};
    request.os_handle = 0x1122334455667788ULL;
    request.window_offset = 5;
    request.window_length = 6;
    return HelperClient::EncodeOpenRequest(request);
}

Buffer WithByte(Buffer bytes, std::size_t at, unsigned char value) {
    bytes.at(at) = value;
    return bytes;
}

TEST(OpenRequestDecoder, DecodesEveryFieldOfAWellFormedRequest) {
    const Buffer payload = OpenPayload("a/b.zip");
    ASSERT_EQ(payload.size(), 53u + 7u);
    OpenRequest decoded;
    ASSERT_TRUE(DecodeOpenRequest(payload, decoded));
    EXPECT_EQ(decoded.path, "a/b.zip");
    EXPECT_EQ(decoded.limits.max_entries, 1);
    EXPECT_EQ(decoded.limits.max_total_bytes, 2);
    EXPECT_EQ(decoded.limits.max_member_bytes, 3);
    EXPECT_FALSE(decoded.descriptor_passing);
    EXPECT_EQ(decoded.os_handle, 0x1122334455667788ULL);
    EXPECT_EQ(decoded.window_offset, 5);
    EXPECT_EQ(decoded.window_length, 6);
}

TEST(OpenRequestDecoder, RefusesWrongLengthsAndOutOfRangeFields) {
    const Buffer good = OpenPayload("xy");  // L = 2: passing at 30, offset at 39, length at 47
    Buffer longer = good;
    longer.push_back(0);
    Buffer shorter(good.begin(), good.end() - 1);
    Buffer claims_more = WithByte(good, 0, 200);
    struct Case {
        const char* name;
        Buffer payload;
        bool ok;
    };
    const Case cases[] = {
        {"well formed", good, true},
        {"empty path, 53 bytes", OpenPayload(""), true},
        {"descriptor passing 1", WithByte(good, 30, 1), true},
        {"one byte long", longer, false},
        {"one byte short", shorter, false},
        {"path length past the payload", claims_more, false},
        {"three bytes", Buffer(3, 0), false},
        {"empty", Buffer(), false},
        {"descriptor passing 2", WithByte(good, 30, 2), false},
        {"window offset 2^63", WithByte(good, 39 + 7, 0x80), false},
        {"window length 2^63", WithByte(good, 47 + 7, 0x80), false},
        {"window length 2^63 - 1", WithByte(good, 47 + 7, 0x7F), true},
    };
    for (const auto& c : cases) {
        OpenRequest decoded;
        EXPECT_EQ(DecodeOpenRequest(c.payload, decoded), c.ok) << c.name;
    }
}

TEST(MaterializeDecoders, RefuseWrongLengthsAndOrdinalsWithTheTopBit) {
    const Buffer good = HelperClient::EncodeMaterializeRequest(7, "out");
    Buffer extra = good;
    extra.push_back('x');
    struct Case {
        const char* name;
        Buffer payload;
        bool ok;
    };
    const Case cases[] = {
        {"well formed", good, true},
        {"ordinal 0x7FFFFFFF", HelperClient::EncodeMaterializeRequest(0x7FFFFFFF, "p"), true},
        {"ordinal 0x80000000", HelperClient::EncodeMaterializeRequest(0x80000000u, "p"), false},
        {"empty path", HelperClient::EncodeMaterializeRequest(0, ""), true},
        {"path length one more than follows", Buffer(good.begin(), good.end() - 1), false},
        {"one byte after the path", extra, false},
        {"four bytes", Buffer(good.begin(), good.begin() + 4), false},
        {"seven bytes", Buffer(good.begin(), good.begin() + 7), false},
        {"three bytes", Buffer(good.begin(), good.begin() + 3), false},
    };
    for (const auto& c : cases) {
        MaterializeRequest decoded;
        EXPECT_EQ(DecodeMaterializeRequest(c.payload, decoded), c.ok) << c.name;
        if (c.ok && c.payload == good) {
            EXPECT_EQ(decoded.ordinal, 7);
            EXPECT_EQ(decoded.path, "out");
        }
    }

    const Buffer all = HelperClient::EncodeMaterializeAllRequest("dir");
    Buffer all_extra = all;
    all_extra.push_back(0);
    MaterializeAllRequest decoded;
    ASSERT_TRUE(DecodeMaterializeAllRequest(all, decoded));
    EXPECT_EQ(decoded.path, "dir");
    EXPECT_FALSE(DecodeMaterializeAllRequest(all_extra, decoded));
    EXPECT_FALSE(DecodeMaterializeAllRequest(Buffer(all.begin(), all.end() - 1), decoded));
    EXPECT_FALSE(DecodeMaterializeAllRequest(Buffer(3, 0), decoded));
}

TEST(HookDecoder, TakesExactlyOneU32) {
    std::uint32_t value = 0;
    EXPECT_TRUE(DecodeHookRequest(Buffer{0x40, 0, 0, 0}, value));
    EXPECT_EQ(value, 64u);
    EXPECT_FALSE(DecodeHookRequest(Buffer{1, 0, 0, 0, 0}, value));
    EXPECT_FALSE(DecodeHookRequest(Buffer{1, 0, 0}, value));
}

TEST(ByteReader, FailsWithoutMovingWhenTooFewBytesRemain) {
    const Buffer bytes = {1, 2, 3, 4, 5, 6, 7};
    ByteReader reader(bytes);
    std::uint64_t wide = 0;
    EXPECT_FALSE(reader.U64(wide));
    std::uint32_t value = 0;
    ASSERT_TRUE(reader.U32(value));
    EXPECT_EQ(value, 0x04030201u);
    EXPECT_FALSE(reader.U32(value));
    EXPECT_EQ(reader.Remaining(), 3u);
    std::string text;
    EXPECT_FALSE(reader.String(text));  // count 0x??070605 runs past the end
    EXPECT_EQ(reader.Remaining(), 3u);
    EXPECT_FALSE(reader.AtEnd());
}

TEST(IndexReply, HasTheExactLayout) {
    const Buffer payload = EncodeIndexReply(testsupport::SmallIndex());
    ByteWriter expected;
    expected.U8(4);                    // Tar
    expected.U8(1);                    // kind flag
    expected.U64(5);                   // declared total
    expected.U64(10240);               // archive size
    expected.String(std::string(64, 'a'));
    expected.U64(10240);               // identity size
    expected.U64(0xFFFFFFFFFFFFFFFEull);  // identity mtime -2
    expected.U32(2);
    // made-up directory
    expected.Append(Buffer{0xFF, 0xFF, 0xFF, 0xFF});
    expected.String("d");
    expected.String("D");
    expected.U8(1);
    expected.U64(0);
    expected.U64(0);
    expected.U8(0);
    expected.U32(0);
    expected.Append(Buffer(8, 0xFF));
    // file
    expected.U32(0);
    expected.String("d/f.txt");
    expected.String("D\\F.TXT");
    expected.U8(0);
    expected.U64(5);
    expected.U64(1700000000);
    expected.U8(1);
    expected.U32(0x3610A686);
    expected.Append(Buffer(8, 0xFF));
    EXPECT_EQ(payload, expected.bytes());
    EXPECT_EQ(payload.size(), 106u + (42 + 1 + 1) + (42 + 7 + 7));

    IndexSummary decoded;
    ASSERT_TRUE(HelperClient::DecodeIndexReply(payload, decoded));
    EXPECT_EQ(EncodeIndexReply(decoded), payload);
}

TEST(IndexReply, EmptyIndexEndsRightAfterTheCount) {
    IndexSummary index = testsupport::SmallIndex();
    index.entries.clear();
    const Buffer payload = EncodeIndexReply(index);
    ASSERT_EQ(payload.size(), 106u);
    EXPECT_EQ(Buffer(payload.end() - 4, payload.end()), (Buffer{0, 0, 0, 0}));
}

// An index whose payload is exactly `size` bytes: one file whose path fills the rest.
IndexSummary IndexOfPayloadSize(std::size_t size) {
    IndexSummary index = testsupport::SmallIndex();
    index.entries.resize(1);
    index.entries[0].dos_path = "X";
    index.entries[0].path.assign(size - 106 - 42 - 1, 'p');
    return index;
}

TEST(IndexReply, SizeMatchesTheReplyCapArithmetic) {
    EXPECT_EQ(EncodeIndexReply(IndexOfPayloadSize(kMaxIndexReplyPayload)).size(), kMaxIndexReplyPayload);
    EXPECT_EQ(EncodeIndexReply(IndexOfPayloadSize(kMaxIndexReplyPayload + 1)).size(), kMaxIndexReplyPayload + 1);
}

TEST(ReplyDecoders, RefuseTruncatedOrPaddedReplies) {
    const Buffer hello = EncodeHelloReply(3, 3006002, "lib 1");
    HelloReply decoded_hello;
    ASSERT_TRUE(HelperClient::DecodeHelloReply(hello, decoded_hello));
    EXPECT_EQ(decoded_hello.library_version, 3006002u);
    EXPECT_EQ(decoded_hello.library_details, "lib 1");

    const Buffer index = EncodeIndexReply(testsupport::SmallIndex());
    const Buffer status = EncodeStatusReply(ArchiveMount::Error::Damaged, "bad");
    for (const Buffer* reply : {&hello, &index, &status}) {
        Buffer longer = *reply;
        longer.push_back(0);
        const Buffer shorter(reply->begin(), reply->end() - 1);
        HelloReply h;
        StatusReply s;
        IndexSummary i;
        EXPECT_FALSE(HelperClient::DecodeHelloReply(longer, h) || HelperClient::DecodeHelloReply(shorter, h));
        EXPECT_FALSE(HelperClient::DecodeStatusReply(longer, s) || HelperClient::DecodeStatusReply(shorter, s));
        EXPECT_FALSE(HelperClient::DecodeIndexReply(longer, i) || HelperClient::DecodeIndexReply(shorter, i));
    }
    // An entry count no payload could hold is refused before anything is reserved.
    Buffer huge_count = EncodeIndexReply(IndexSummary{});
    std::fill(huge_count.end() - 4, huge_count.end(), 0xFF);
    IndexSummary i;
    EXPECT_FALSE(HelperClient::DecodeIndexReply(huge_count, i));
}

}  // namespace

namespace {

// Every truncation and every single-byte corruption of valid payloads goes
// through every decoder; the sanitizer build proves no read leaves the buffer.
TEST(Decoders, SurviveEveryTruncationAndCorruption) {
    using namespace ArchiveHelper;
    const std::vector<std::vector<unsigned char>> payloads = {
        HelperClient::EncodeOpenRequest(testsupport::OpenByPath("dir/a.zip")),
        HelperClient::EncodeMaterializeRequest(3, "out/file"),
        HelperClient::EncodeMaterializeAllRequest("out"),
        HelperClient::EncodeHookRequest(9),
        EncodeIndexReply(testsupport::SmallIndex()),
        EncodeHelloReply(3, 1, "details"),
    };
    auto decode_all = [](const std::vector<unsigned char>& bytes) {
        OpenRequest open;
        MaterializeRequest one;
        MaterializeAllRequest all;
        std::uint32_t hook = 0;
        FrameHeader header;
        IndexSummary index;
        HelloReply hello;
        StatusReply status;
        DecodeOpenRequest(bytes, open);
        DecodeMaterializeRequest(bytes, one);
        DecodeMaterializeAllRequest(bytes, all);
        DecodeHookRequest(bytes, hook);
        ParseFrameHeader(bytes, kMaxRequestPayload, header);
        HelperClient::DecodeIndexReply(bytes, index);
        HelperClient::DecodeHelloReply(bytes, hello);
        HelperClient::DecodeStatusReply(bytes, status);
    };
    for (const auto& payload : payloads) {
        for (std::size_t size = 0; size <= payload.size(); ++size) {
            // A heap copy of exactly `size` bytes, so that any overread is caught.
            decode_all(std::vector<unsigned char>(payload.begin(), payload.begin() + size));
        }
        for (std::size_t at = 0; at < payload.size(); ++at) {
            auto corrupted = payload;
            corrupted[at] = 0xFF;
            decode_all(corrupted);
        }
    }
}

}  // namespace
