// Runs the request loop in the test process: input frames from a file, the
// reply channel into another, and fake open operations.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "helper/frame_codec.h"
#include "helper/request_loop.h"

namespace testsupport {

struct ReplyFrame {
    ArchiveHelper::MessageType type;
    std::vector<unsigned char> payload;
};

struct LoopRun {
    int exit_code = -1;
    std::vector<unsigned char> replies;  // every byte written to the reply channel
};

// The parts one after the other, as one input stream.
std::vector<unsigned char> Concat(std::initializer_list<std::vector<unsigned char>> parts);

// One encoded frame.
std::vector<unsigned char> Request(ArchiveHelper::MessageType type, const std::vector<unsigned char>& payload = {});

// Feeds `input` to the loop, runs it to its end and collects the replies.
LoopRun RunLoop(const std::vector<unsigned char>& input, bool test_hooks,
                const ArchiveHelper::ArchiveOpeners& openers = {});

// Splits a reply stream into frames; fails the test on a bad header or a
// cut-off frame.
std::vector<ReplyFrame> SplitReplies(const std::vector<unsigned char>& replies);

// A status reply's code and message, failing the test when it is not one.
ArchiveHelper::StatusReply StatusOf(const ReplyFrame& frame);

// An ArchiveSource with a fixed index; records what is asked of it.
class FakeSource : public ArchiveMount::ArchiveSource {
public:
    struct Record {
        bool destroyed = false;
        std::vector<int> materialized;
        int materialized_all = 0;
    };

    FakeSource(ArchiveHelper::IndexSummary index, std::shared_ptr<Record> record);
    ~FakeSource() override;

    ArchiveMount::ArchiveKind Kind() const override { return index_.kind; }
    int KindFlag() const override { return index_.kind_flag; }
    const std::vector<ArchiveMount::Entry>& Entries() const override { return index_.entries; }
    std::int64_t DeclaredTotal() const override { return index_.declared_total; }
    std::uint64_t ArchiveSize() const override { return index_.archive_size; }
    const std::string& Fingerprint() const override { return index_.fingerprint; }
    ArchiveMount::ArchiveIdentity Identity() const override { return index_.identity; }
    ArchiveMount::Error Materialize(int ordinal, std::vector<unsigned char>& out, std::string* message) override;
    ArchiveMount::Error MaterializeToFile(int ordinal, const std::filesystem::path& file,
                                          std::string* message) override;
    ArchiveMount::Error MaterializeAll(const std::filesystem::path& directory, std::string* message) override;

private:
    ArchiveHelper::IndexSummary index_;
    std::shared_ptr<Record> record_;
};

// A small index: one made-up directory and one file.
ArchiveHelper::IndexSummary SmallIndex();

}  // namespace testsupport
