// A stand-in for the helper gone wrong, for the client's tests. What it does
// is named by its own file name (tests copy it under the name they need),
// since a session starts its helper with helper options only:
//   exits-at-once       exits with 3 before reading anything
//   echoes              copies its input to its output: the request comes back as a reply
//   wrong-type          answers a request with an index reply of nothing
//   writes-garbage      writes bytes that are no frame, then waits to be killed
//   never-answers       reads and waits to be killed
//   lies-about-length   answers a hello reply whose header says one byte less than its payload
//   huge-length         a reply header announcing more than any reply may carry
//   stops-mid-frame     sends half a hello reply and exits with 0
//   ignores-close       answers hello, then outlives its closed input and CloseRequest
//   probe-handles H...  prints for each handle value 1 when it names an open disk file here, else 0
//   shows-environment N...  prints each variable's value on a line of its own, "(unset)" for none
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "helper/frame_codec.h"
#include "platform/platform.h"

namespace {

using ArchiveHelper::MessageType;

void Write(const std::vector<unsigned char>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const long long written = platform::WriteSome(1, bytes.data() + done, bytes.size() - done);
        if (written <= 0) return;
        done += static_cast<std::size_t>(written);
    }
}

// Reads one request frame; false at the end of input.
bool ReadRequest() {
    unsigned char header[ArchiveHelper::kFrameHeaderSize];
    std::size_t done = 0;
    while (done < sizeof header) {
        const long long got = platform::ReadSome(0, header + done, sizeof header - done);
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    ArchiveHelper::FrameHeader parsed;
    if (!ArchiveHelper::ParseFrameHeader(ArchiveHelper::Bytes(header, sizeof header), ArchiveHelper::kMaxRequestPayload,
                                         parsed)) {
        return false;
    }
    std::vector<unsigned char> payload(parsed.length);
    done = 0;
    while (done < payload.size()) {
        const long long got = platform::ReadSome(0, payload.data() + done, payload.size() - done);
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

std::vector<unsigned char> Header(MessageType type, std::uint32_t length) {
    const auto header = ArchiveHelper::EncodeFrameHeader(type, length);
    return {header.begin(), header.end()};
}

[[noreturn]] void WaitToBeKilled() {
    std::this_thread::sleep_for(std::chrono::minutes(2));
    std::exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    platform::SetBinaryMode(0);
    platform::SetBinaryMode(1);
    const std::string behaviour = std::filesystem::path(argv[0]).stem().string();
    const auto hello = ArchiveHelper::EncodeHelloReply(3, 1, "fake");

    if (behaviour == "exits-at-once") return 3;
    if (behaviour == "echoes") {
        unsigned char buffer[4096];
        long long got;
        while ((got = platform::ReadSome(0, buffer, sizeof buffer)) > 0) {
            Write(std::vector<unsigned char>(buffer, buffer + got));
        }
        return 0;
    }
    if (behaviour == "writes-garbage") {
        const std::string garbage = "not a frame at all";
        Write(std::vector<unsigned char>(garbage.begin(), garbage.end()));
        WaitToBeKilled();
    }
    if (behaviour == "probe-handles") {
        for (int i = 1; i < argc; ++i) {
            std::printf("%d", platform::HandleIsDiskFile(std::stoull(argv[i])) ? 1 : 0);
        }
        return 0;
    }
    if (behaviour == "shows-environment") {
        for (int i = 1; i < argc; ++i) {
            const char* value = std::getenv(argv[i]);
            std::printf("%s\n", value != nullptr ? value : "(unset)");
        }
        return 0;
    }
    if (!ReadRequest()) return 0;
    if (behaviour == "never-answers") WaitToBeKilled();
    if (behaviour == "wrong-type") {
        Write(ArchiveHelper::EncodeFrame(MessageType::IndexReply, {}));
        WaitToBeKilled();
    }
    if (behaviour == "lies-about-length") {
        auto frame = Header(MessageType::HelloReply, static_cast<std::uint32_t>(hello.size() - 1));
        frame.insert(frame.end(), hello.begin(), hello.end());
        Write(frame);
        WaitToBeKilled();
    }
    if (behaviour == "huge-length") {
        Write(Header(MessageType::HelloReply, ArchiveHelper::kMaxIndexReplyPayload + 1));
        WaitToBeKilled();
    }
    if (behaviour == "stops-mid-frame") {
        auto frame = Header(MessageType::HelloReply, static_cast<std::uint32_t>(hello.size()));
        frame.insert(frame.end(), hello.begin(), hello.begin() + static_cast<std::ptrdiff_t>(hello.size() / 2));
        Write(frame);
        return 0;
    }
    if (behaviour == "ignores-close") {
        Write(ArchiveHelper::EncodeFrame(MessageType::HelloReply, hello));
        while (ReadRequest()) {
        }
        WaitToBeKilled();
    }
    std::fprintf(stderr, "fake helper: no behaviour named '%s'\n", behaviour.c_str());
    return 125;
}
