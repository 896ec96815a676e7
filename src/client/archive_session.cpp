#include "client/archive_session.h"

#include <algorithm>
#include <cstdio>

#include "client/reply_decoding.h"
#include "client/request_encoding.h"

namespace HelperClient {

using ArchiveHelper::Bytes;
using ArchiveHelper::MessageType;
using ArchiveMount::Error;
using namespace std::chrono_literals;

namespace {

std::string Seconds(std::chrono::milliseconds duration) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", static_cast<double>(duration.count()) / 1000.0);
    return text;
}

// A helper that was told to close, or whose channel closed, ends at once;
// this only bounds the wait for one that does not.
constexpr std::chrono::milliseconds kExitGrace = 2s;

}  // namespace

std::unique_ptr<ArchiveSession> ArchiveSession::Start(const SessionOptions& options, Outcome* failure) {
    StartOptions start;
    start.binary = options.helper_binary;
    if (options.memory_limit_mb > 0) {
        start.arguments.push_back("--memory-limit-mb");
        start.arguments.push_back(std::to_string(options.memory_limit_mb));
    }
    if (options.test_hooks) start.arguments.push_back("--test-hooks");
    start.inherited_handle = options.archive_handle;
    std::string message;
    auto process = HelperProcess::Start(start, &message);
    if (!process) {
        if (failure) *failure = {Error::HelperFailed, message};
        return nullptr;
    }
    std::unique_ptr<ArchiveSession> session(new ArchiveSession(options));
    session->process_ = std::move(process);
    return session;
}

ArchiveSession::~ArchiveSession() { Finish(); }

const std::string& ArchiveSession::helper_log() { return process_ ? process_->StandardError() : log_; }

std::optional<ExitStatus> ArchiveSession::Finish() {
    if (!process_) return std::nullopt;
    process_->SendRequest(MessageType::CloseRequest, {});
    process_->CloseInput();
    auto status = process_->Wait(std::min(options_.reply_timeout, kExitGrace));
    exit_ = status ? *status : process_->Kill();
    log_ = process_->StandardError();
    process_.reset();
    return exit_;
}

Outcome ArchiveSession::Abandon(Error code, std::string message, bool channel_closed) {
    // A helper whose channel closed is normally gone already and is given a
    // moment to say how it ended; one that stalled or spoke out of protocol
    // gets no more time.
    std::optional<ExitStatus> status;
    if (channel_closed) {
        process_->CloseInput();
        status = process_->Wait(kExitGrace);
    }
    exit_ = status ? *status : process_->Kill();
    log_ = process_->StandardError();
    process_.reset();
    return {code, message + " (" + DescribeExit(*exit_) + ")"};
}

Outcome ArchiveSession::Exchange(MessageType type, Bytes payload, MessageType expected, Frame& reply,
                                 const std::function<void()>& waiting) {
    if (!process_) return {Error::HelperFailed, "the helper is not running"};
    // A helper that stopped reading has ended or is ending; whether that shows
    // on the request or on the reply is a matter of timing.
    if (!process_->SendRequest(type, payload)) {
        return Abandon(Error::HelperFailed, "the helper ended without a reply", true);
    }
    const auto deadline = HelperProcess::Clock::now() + options_.reply_timeout;
    auto remaining = [&deadline] {
        return std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - HelperProcess::Clock::now()));
    };
    if (waiting) {
        while (remaining() > 0ms && !process_->ReplyReady(std::min(remaining(), std::chrono::milliseconds(200)))) {
            waiting();
        }
    }
    switch (process_->ReadFrame(reply, remaining())) {
        case ReadResult::Frame:
            break;
        case ReadResult::Timeout:
            return Abandon(Error::HelperTimeout, "no reply within " + Seconds(options_.reply_timeout));
        case ReadResult::EndOfStream:
            return Abandon(Error::HelperFailed, "the helper ended without a reply", true);
        case ReadResult::Malformed:
            return Abandon(Error::HelperFailed, "a malformed reply frame");
        case ReadResult::Failed:
            return Abandon(Error::HelperFailed, "cannot read the helper's replies", true);
    }
    if (reply.type == expected) return {};
    if (reply.type != MessageType::StatusReply) {
        return Abandon(Error::HelperFailed,
                       "a reply of type " + std::to_string(static_cast<int>(reply.type)) + " out of protocol");
    }
    ArchiveHelper::StatusReply status;
    if (!DecodeStatusReply(reply.payload, status)) return Abandon(Error::HelperFailed, "a malformed status reply");
    // A status instead of the due reply must say why.
    if (status.code == Error::Ok) return Abandon(Error::HelperFailed, "an empty status where a reply was due");
    return {status.code, std::move(status.message)};
}

Outcome ArchiveSession::ExpectStatus(MessageType type, Bytes payload, const std::function<void()>& waiting) {
    Frame reply;
    Outcome outcome = Exchange(type, payload, MessageType::StatusReply, reply, waiting);
    if (!outcome.ok()) return outcome;
    ArchiveHelper::StatusReply status;
    if (!DecodeStatusReply(reply.payload, status)) return Abandon(Error::HelperFailed, "a malformed status reply");
    return {status.code, std::move(status.message)};
}

Outcome ArchiveSession::Hello(ArchiveHelper::HelloReply& out) {
    Frame reply;
    Outcome outcome = Exchange(MessageType::HelloRequest, {}, MessageType::HelloReply, reply, {});
    if (!outcome.ok()) return outcome;
    if (!DecodeHelloReply(reply.payload, out)) return Abandon(Error::HelperFailed, "a malformed hello reply");
    return outcome;
}

Outcome ArchiveSession::Open(const ArchiveHelper::OpenRequest& request, ArchiveHelper::IndexSummary& index) {
    Frame reply;
    Outcome outcome = Exchange(MessageType::OpenRequest, EncodeOpenRequest(request), MessageType::IndexReply, reply, {});
    if (!outcome.ok()) return outcome;
    if (!DecodeIndexReply(reply.payload, index)) return Abandon(Error::HelperFailed, "a malformed index reply");
    return outcome;
}

Outcome ArchiveSession::Materialize(std::uint32_t ordinal, std::string_view path) {
    return ExpectStatus(MessageType::MaterializeRequest, EncodeMaterializeRequest(ordinal, path));
}

Outcome ArchiveSession::MaterializeAll(std::string_view directory, const std::function<void()>& waiting) {
    return ExpectStatus(MessageType::MaterializeAllRequest, EncodeMaterializeAllRequest(directory), waiting);
}

Outcome ArchiveSession::SendHook(MessageType hook, std::uint32_t value) {
    return ExpectStatus(hook, EncodeHookRequest(value));
}

}  // namespace HelperClient
