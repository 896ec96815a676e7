#include "helper/request_loop.h"

#include <archive.h>

#include <array>
#include <memory>
#include <new>

#include "helper/frame_codec.h"
#include "helper/protocol_channel.h"
#include "helper/test_hooks.h"
#include "mount/warm_start.h"
#include "platform/platform.h"

namespace ArchiveHelper {

namespace {

using ArchiveMount::Error;

constexpr std::string_view kPathNotUtf8 = "the path is not valid UTF-8";
constexpr std::string_view kOutOfMemory = "out of memory";

enum class Next { Serve, EndNormally, EndProtocolError };

Next AfterReply(bool sent) { return sent ? Next::Serve : Next::EndNormally; }


// The library builds a fresh text on every call and never frees the last one,
// so it is asked once per process.
const std::string& LibraryDetails() {
    static const std::string details = archive_version_details();
    return details;
}

bool ReadExactly(int input, unsigned char* data, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const long long got = platform::ReadSome(input, data + done, count - done);
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

// The "out of memory" reply, built once without the heap so that it can still
// be sent when allocations fail.
constexpr std::size_t kOutOfMemoryFrameSize = kFrameHeaderSize + 1 + 4 + kOutOfMemory.size();

constexpr std::array<unsigned char, kOutOfMemoryFrameSize> OutOfMemoryFrame() {
    std::array<unsigned char, kOutOfMemoryFrameSize> frame{};
    const auto header =
        EncodeFrameHeader(MessageType::StatusReply, static_cast<std::uint32_t>(kOutOfMemoryFrameSize - kFrameHeaderSize));
    for (std::size_t i = 0; i < kFrameHeaderSize; ++i) frame[i] = header[i];
    frame[12] = static_cast<unsigned char>(Error::HelperFailed);
    const auto length = static_cast<std::uint32_t>(kOutOfMemory.size());
    for (int i = 0; i < 4; ++i) frame[13 + i] = static_cast<unsigned char>(length >> (8 * i));
    for (std::size_t i = 0; i < kOutOfMemory.size(); ++i) frame[17 + i] = static_cast<unsigned char>(kOutOfMemory[i]);
    return frame;
}

constexpr std::array<unsigned char, kOutOfMemoryFrameSize> kOutOfMemoryFrame = OutOfMemoryFrame();

// The answer to a protocol violation ends the process whether or not it went
// out, and whether or not there was memory to build it.
Next Fatal(std::string_view message) {
    try {
        SendStatus(Error::HelperFailed, message);
    } catch (const std::bad_alloc&) {
        WriteToChannel(kOutOfMemoryFrame);
    }
    return Next::EndProtocolError;
}

class Session {
public:
    Session(int input, bool test_hooks_enabled, const ArchiveOpeners& openers)
        : input_(input), test_hooks_enabled_(test_hooks_enabled), openers_(openers) {}

    int Run() {
        for (int frame = 0; frame < kMaxFrames; ++frame) {
            if (!ReadExactly(input_, header_.data(), header_.size())) return 0;
            FrameHeader header;
            if (!ParseFrameHeader(header_, kMaxRequestPayload, header)) return Exit(Fatal("malformed request frame"));
            if (!ReadExactly(input_, payload_.data(), header.length)) return 0;
            const Next next = ServeGuarded(header.type, Bytes(payload_.data(), header.length));
            if (next != Next::Serve) return Exit(next);
        }
        return 0;
    }

private:
    static int Exit(Next next) { return next == Next::EndProtocolError ? 2 : 0; }

    Next ServeGuarded(MessageType type, Bytes payload) {
        try {
            return Serve(type, payload);
        } catch (const std::bad_alloc&) {
            // Every reply is encoded whole before its first byte is written, so
            // nothing of it has gone out yet.
            return AfterReply(WriteToChannel(kOutOfMemoryFrame));
        }
    }

    Next Serve(MessageType type, Bytes payload) {
        switch (type) {
            case MessageType::HelloRequest:
                return AfterReply(SendFrame(MessageType::HelloReply,
                                            EncodeHelloReply(kProtocolVersion,
                                                             static_cast<std::uint32_t>(archive_version_number()),
                                                             LibraryDetails())));
            case MessageType::OpenRequest:
                return Open(payload);
            case MessageType::MaterializeRequest:
                return Materialize(payload);
            case MessageType::MaterializeAllRequest:
                return MaterializeAll(payload);
            case MessageType::CloseRequest:
                return Next::EndNormally;
            case MessageType::HelloReply:
            case MessageType::IndexReply:
            case MessageType::StatusReply:
                return Fatal("a reply type sent as a request");
            case MessageType::AbortHook:
            case MessageType::StallHook:
            case MessageType::AllocateHook:
                return Hook(type, payload);
        }
        return Fatal("malformed request frame");
    }

    // Handle values that name the helper's own standard descriptors or reply
    // channel never count as a passed archive: wrapping one would close it.
    bool IsOwnDescriptor(std::uint64_t handle) const {
        return handle <= 2 || handle == static_cast<std::uint64_t>(input_) ||
               handle == static_cast<std::uint64_t>(ProtocolDescriptor());
    }

    Next Open(Bytes payload) {
        OpenRequest request;
        if (!DecodeOpenRequest(payload, request)) return Fatal("malformed open request");
        reader_.reset();
        if (request.descriptor_passing) {
            return AfterReply(SendStatus(Error::HelperFailed, "descriptor passing is not available on this host"));
        }
        // A wrap owns the passed handle: it is closed on every way out of the open.
        platform::Descriptor wrapped;
        if (request.os_handle != 0) {
            if (IsOwnDescriptor(request.os_handle) || !platform::HandleIsDiskFile(request.os_handle)) {
                return AfterReply(SendStatus(Error::HelperFailed, "the archive handle did not arrive"));
            }
            wrapped = platform::WrapHandle(request.os_handle);
        }
        const bool windowed = request.window_length > 0;
        if (windowed && wrapped.get() < 0) {
            return AfterReply(SendStatus(Error::OpenFailed, "an archive window needs a descriptor"));
        }
        const auto path = platform::PathFromUtf8(request.path);
        if (!path) return AfterReply(SendStatus(Error::HelperFailed, kPathNotUtf8));

        ArchiveMount::OpenResult result;
        if (wrapped.get() >= 0) {
            ArchiveMount::ArchiveWindow window;
            if (windowed) window = {request.window_offset, request.window_length, true};
            openers_.open_descriptor(result, wrapped.get(), *path, request.limits, window);
        } else {
            openers_.open_path(result, *path, request.limits);
        }
        wrapped.reset();
        if (result.error != Error::Ok) return AfterReply(SendStatus(result.error, result.message));
        if (!result.reader) return AfterReply(SendStatus(Error::HelperFailed, "the open returned no archive"));

        const std::vector<unsigned char> index =
            EncodeIndexReply(SummarizeIndex(*result.reader), result.reader->Entries());
        if (index.size() > kMaxIndexReplyPayload) {
            return AfterReply(SendStatus(Error::TooManyEntries, "the index exceeds the helper's reply cap"));
        }
        // Everything is built before the first byte goes out, and only an
        // index that went out makes the archive current: memory running out on
        // the way leaves none open.
        const auto header = EncodeFrameHeader(MessageType::IndexReply, static_cast<std::uint32_t>(index.size()));
        if (!WriteToChannel(header) || !WriteToChannel(index)) return Next::EndNormally;
        reader_ = std::move(result.reader);
        return Next::Serve;
    }

    Next Materialize(Bytes payload) {
        MaterializeRequest request;
        if (!DecodeMaterializeRequest(payload, request)) return Fatal("malformed materialize request");
        if (!reader_) return AfterReply(SendStatus(Error::OpenFailed, "no archive is open"));
        CheckHooks(hooks_, static_cast<std::uint32_t>(request.ordinal));
        const auto path = platform::PathFromUtf8(request.path);
        if (!path) return AfterReply(SendStatus(Error::HelperFailed, kPathNotUtf8));
        std::string message;
        const Error code = reader_->MaterializeToFile(request.ordinal, *path, &message);
        return AfterReply(SendStatus(code, message));
    }

    Next MaterializeAll(Bytes payload) {
        MaterializeAllRequest request;
        if (!DecodeMaterializeAllRequest(payload, request)) return Fatal("malformed materialize-all request");
        if (!reader_) return AfterReply(SendStatus(Error::OpenFailed, "no archive is open"));
        CheckHooks(hooks_, kMaterializeAllOrdinal);
        const auto path = platform::PathFromUtf8(request.path);
        if (!path) return AfterReply(SendStatus(Error::HelperFailed, kPathNotUtf8));
        std::string message;
        const Error code = reader_->MaterializeAll(*path, &message);
        return AfterReply(SendStatus(code, message));
    }

    Next Hook(MessageType type, Bytes payload) {
        if (!test_hooks_enabled_) return Fatal("test hook without --test-hooks");
        std::uint32_t value = 0;
        if (!DecodeHookRequest(payload, value)) return Fatal("malformed test hook");
        Error code = Error::Ok;
        if (type == MessageType::AbortHook) {
            hooks_.abort_ordinal = value;
        } else if (type == MessageType::StallHook) {
            hooks_.stall_ordinal = value;
        } else {
            code = AllocateAndTouch(value);
        }
        return AfterReply(SendStatus(code, ""));
    }

    const int input_;
    const bool test_hooks_enabled_;
    const ArchiveOpeners& openers_;
    std::unique_ptr<ArchiveMount::ArchiveSource> reader_;
    HookState hooks_;
    std::array<unsigned char, kFrameHeaderSize> header_{};
    // Sized for the largest payload a header may announce, so that reading a
    // frame never allocates.
    std::array<unsigned char, kMaxRequestPayload> payload_{};
};

}  // namespace

int RunRequestLoop(int input, bool test_hooks_enabled, const ArchiveOpeners& openers) {
    // Once-per-process state is made before any request, below all that
    // requests allocate and free.
    ArchiveMount::WarmStart();
    LibraryDetails();
    // The session keeps its buffers on the stack: under a tight memory cap the
    // heap may refuse even the first allocation.
    Session session(input, test_hooks_enabled, openers);
    return session.Run();
}

}  // namespace ArchiveHelper
