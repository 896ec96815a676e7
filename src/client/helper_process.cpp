#include "client/helper_process.h"

#include "client/reply_decoding.h"
#include "platform/platform.h"

namespace HelperClient {

using ArchiveHelper::Bytes;
using ArchiveHelper::MessageType;

std::unique_ptr<HelperProcess> HelperProcess::Start(const StartOptions& options, std::string* message) {
    platform::ChildOptions child;
    child.program = options.binary;
    child.arguments = options.arguments;
    child.inherited_handle = options.inherited_handle;
    child.close_standard_error = options.close_standard_error;
    // The helper restarts itself unless its allocator switch is in its
    // environment from the start; handing it over saves a program load.
    if (std::string allocator = platform::SteadyAllocatorEnvironment(); !allocator.empty()) {
        child.environment.push_back(std::move(allocator));
    }
    platform::StartFailure failure;
    auto started = platform::ChildProcess::Start(child, &failure);
    if (started) return std::unique_ptr<HelperProcess>(new HelperProcess(std::move(started)));
    if (message) {
        switch (failure.stage) {
            case platform::StartFailure::Stage::Options: *message = failure.reason; break;
            case platform::StartFailure::Stage::Pipes: *message = "cannot create pipes: " + failure.reason; break;
            case platform::StartFailure::Stage::Process: *message = "cannot start the helper: " + failure.reason; break;
            case platform::StartFailure::Stage::Program: *message = "cannot run the helper: " + failure.reason; break;
        }
    }
    return nullptr;
}

ExitStatus HelperProcess::Kill() { return child_->Kill(); }

bool HelperProcess::WriteBytes(Bytes bytes) { return child_->Write(bytes.data(), bytes.size()); }

bool HelperProcess::SendRequest(MessageType type, Bytes payload) {
    return WriteBytes(ArchiveHelper::EncodeFrame(type, payload));
}

void HelperProcess::CloseInput() { child_->CloseInput(); }

bool HelperProcess::ReadReplyBytes(unsigned char* data, std::size_t count, Clock::time_point deadline,
                                   ReadResult& failure) {
    std::size_t done = 0;
    while (done < count) {
        std::size_t got = 0;
        switch (child_->ReadOutput(data + done, count - done, deadline, got)) {
            case platform::ChildProcess::Read::Data: done += got; break;
            case platform::ChildProcess::Read::End: failure = ReadResult::EndOfStream; return false;
            case platform::ChildProcess::Read::Timeout: failure = ReadResult::Timeout; return false;
            case platform::ChildProcess::Read::Failed: failure = ReadResult::Failed; return false;
        }
    }
    return true;
}

ReadResult HelperProcess::ReadFrame(Frame& out, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    unsigned char header[ArchiveHelper::kFrameHeaderSize];
    ReadResult failure = ReadResult::Failed;
    if (!ReadReplyBytes(header, sizeof header, deadline, failure)) return failure;
    ArchiveHelper::FrameHeader parsed;
    if (!ArchiveHelper::ParseFrameHeader(Bytes(header, sizeof header), ArchiveHelper::kMaxIndexReplyPayload, parsed)) {
        return ReadResult::Malformed;
    }
    out.type = parsed.type;
    out.payload.resize(parsed.length);
    if (!ReadReplyBytes(out.payload.data(), parsed.length, deadline, failure)) return failure;
    return ReadResult::Frame;
}

bool HelperProcess::ReplyReady(std::chrono::milliseconds wait) { return child_->AwaitOutput(Clock::now() + wait); }

std::optional<std::vector<unsigned char>> HelperProcess::ReadToEnd(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::vector<unsigned char> bytes;
    for (;;) {
        unsigned char buffer[65536];
        std::size_t got = 0;
        switch (child_->ReadOutput(buffer, sizeof buffer, deadline, got)) {
            case platform::ChildProcess::Read::Data: bytes.insert(bytes.end(), buffer, buffer + got); break;
            case platform::ChildProcess::Read::Timeout: return std::nullopt;
            case platform::ChildProcess::Read::End: return bytes;
            // A channel already closed by this side has nothing left to give.
            case platform::ChildProcess::Read::Failed: return bytes.empty() ? std::nullopt : std::optional(bytes);
        }
    }
}

void HelperProcess::CloseReplies() { child_->CloseOutput(); }

namespace {

// One frame of `type`, decoded; nothing when the read, the type or the
// decoding fails.
template <typename Reply>
std::optional<Reply> ReadReply(HelperProcess& helper, MessageType type, bool (*decode)(Bytes, Reply&),
                               std::chrono::milliseconds timeout) {
    Frame frame;
    Reply reply;
    if (helper.ReadFrame(frame, timeout) != ReadResult::Frame || frame.type != type || !decode(frame.payload, reply))
        return std::nullopt;
    return reply;
}

}  // namespace

std::optional<ArchiveHelper::StatusReply> HelperProcess::ReadStatus(std::chrono::milliseconds timeout) {
    return ReadReply(*this, MessageType::StatusReply, DecodeStatusReply, timeout);
}

std::optional<ArchiveHelper::HelloReply> HelperProcess::ReadHello(std::chrono::milliseconds timeout) {
    return ReadReply(*this, MessageType::HelloReply, DecodeHelloReply, timeout);
}

std::optional<ArchiveHelper::IndexSummary> HelperProcess::ReadIndex(std::chrono::milliseconds timeout) {
    return ReadReply(*this, MessageType::IndexReply, DecodeIndexReply, timeout);
}

std::optional<ExitStatus> HelperProcess::Wait(std::chrono::milliseconds timeout) {
    return child_->Wait(Clock::now() + timeout);
}

const std::string& HelperProcess::StandardError() { return child_->ErrorOutput(); }

std::string DescribeExit(const ExitStatus& status) { return platform::DescribeChildExit(status); }

}  // namespace HelperClient
