#include "support/loop_harness.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "client/reply_decoding.h"
#include "support/temp_dir.h"
#include "helper/protocol_channel.h"
#include "platform/platform.h"

namespace testsupport {

std::vector<unsigned char> Concat(std::initializer_list<std::vector<unsigned char>> parts) {
    std::vector<unsigned char> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::vector<unsigned char> Request(ArchiveHelper::MessageType type, const std::vector<unsigned char>& payload) {
    return ArchiveHelper::EncodeFrame(type, payload);
}

LoopRun RunLoop(const std::vector<unsigned char>& input, bool test_hooks, const ArchiveHelper::ArchiveOpeners& openers) {
    testsupport::TempDir dir;
    platform::Descriptor in =
        platform::OpenFileSharedForReading(dir.WriteFile("input", std::string(input.begin(), input.end())));
    const auto reply_path = dir.path() / "replies";
    platform::Descriptor out = platform::CreateFileExclusive(reply_path);
    EXPECT_TRUE(in.valid());
    EXPECT_TRUE(out.valid());
    const int previous = ArchiveHelper::ProtocolDescriptor();
    ArchiveHelper::UseProtocolDescriptor(out.get());
    LoopRun run;
    run.exit_code = ArchiveHelper::RunRequestLoop(in.get(), test_hooks, openers);
    ArchiveHelper::UseProtocolDescriptor(previous);
    in.reset();
    out.reset();
    std::ifstream replies(reply_path, std::ios::binary);
    run.replies.assign(std::istreambuf_iterator<char>(replies), std::istreambuf_iterator<char>());
    return run;
}

std::vector<ReplyFrame> SplitReplies(const std::vector<unsigned char>& replies) {
    std::vector<ReplyFrame> frames;
    std::size_t position = 0;
    while (position < replies.size()) {
        ArchiveHelper::FrameHeader header;
        const ArchiveHelper::Bytes rest(replies.data() + position, replies.size() - position);
        if (!ArchiveHelper::ParseFrameHeader(rest, ArchiveHelper::kMaxIndexReplyPayload, header) ||
            rest.size() - ArchiveHelper::kFrameHeaderSize < header.length) {
            ADD_FAILURE() << "bad reply frame at byte " << position;
            break;
        }
        const auto* payload = rest.data() + ArchiveHelper::kFrameHeaderSize;
        frames.push_back({header.type, {payload, payload + header.length}});
        position += ArchiveHelper::kFrameHeaderSize + header.length;
    }
    return frames;
}

ArchiveHelper::StatusReply StatusOf(const ReplyFrame& frame) {
    ArchiveHelper::StatusReply reply;
    EXPECT_EQ(frame.type, ArchiveHelper::MessageType::StatusReply);
    EXPECT_TRUE(HelperClient::DecodeStatusReply(frame.payload, reply));
    return reply;
}

FakeSource::FakeSource(ArchiveHelper::IndexSummary index, std::shared_ptr<Record> record)
    : index_(std::move(index)), record_(std::move(record)) {}

FakeSource::~FakeSource() { record_->destroyed = true; }

ArchiveMount::Error FakeSource::Materialize(int, std::vector<unsigned char>&, std::string*) {
    return ArchiveMount::Error::MethodUnsupported;
}

ArchiveMount::Error FakeSource::MaterializeToFile(int ordinal, const std::filesystem::path&, std::string* message) {
    record_->materialized.push_back(ordinal);
    if (message) *message = "written";
    return ArchiveMount::Error::Ok;
}

ArchiveMount::Error FakeSource::MaterializeAll(const std::filesystem::path&, std::string* message) {
    ++record_->materialized_all;
    if (message) *message = "all written";
    return ArchiveMount::Error::Ok;
}

ArchiveHelper::IndexSummary SmallIndex() {
    ArchiveHelper::IndexSummary index;
    index.kind = ArchiveMount::ArchiveKind::Tar;
    index.kind_flag = 1;
    index.declared_total = 5;
    index.archive_size = 10240;
    index.fingerprint = std::string(64, 'a');
    index.identity = {10240, -2};
    ArchiveMount::Entry dir;
    dir.ordinal = -1;
    dir.path = "d";
    dir.dos_path = "D";
    dir.is_dir = true;
    ArchiveMount::Entry file;
    file.ordinal = 0;
    file.path = "d/f.txt";
    file.dos_path = "D\\F.TXT";
    file.size = 5;
    file.mtime = 1700000000;
    file.has_crc = true;
    file.crc = 0x3610A686;
    index.entries = {dir, file};
    return index;
}

}  // namespace testsupport
