#include "formats/legacy_zip.h"

#include "formats/unshrink.h"
#include "support/byte_stream.h"
#include "support/sample_data.h"
#include "support/shrink_encoder.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using LegacyZip::OutputLimiter;
using LegacyZip::Status;

struct EmitCase {
    const char* what;
    std::uint64_t declared, produced, length;
    bool sink_answer;
    bool result;
    std::uint64_t produced_after;
    int sink_calls;
    bool refused;
    std::string error;
    Status failure;
};

TEST(OutputLimiterEmit, TableOfCases) {
    const EmitCase cases[] = {
        {"fits", 10, 0, 10, true, true, 10, 1, false, "(untouched)", Status::BadStream},
        {"one past", 10, 0, 11, true, false, 0, 0, false, "more output than the declared size", Status::BadStream},
        {"past after earlier output", 10, 8, 3, true, false, 8, 0, false, "more output than the declared size",
         Status::BadStream},
        {"empty at the limit", 10, 10, 0, true, true, 10, 0, false, "(untouched)", Status::BadStream},
        {"refused", 10, 2, 4, false, false, 6, 1, true, "the output was not taken", Status::OutputRefused},
        {"empty never reaches a refusing sink", 10, 2, 0, false, true, 2, 0, false, "(untouched)",
         Status::BadStream},
    };
    const unsigned char data[16] = {};
    for (const EmitCase& c : cases) {
        int calls = 0;
        const LegacyZip::ByteSink sink = [&](const unsigned char*, unsigned long long) {
            ++calls;
            return c.sink_answer;
        };
        OutputLimiter limiter{c.produced, false, sink, c.declared};
        std::string error = "(untouched)";
        EXPECT_EQ(limiter.emit(data, c.length, &error), c.result) << c.what;
        EXPECT_EQ(limiter.produced, c.produced_after) << c.what;
        EXPECT_EQ(calls, c.sink_calls) << c.what;
        EXPECT_EQ(limiter.sink_refused, c.refused) << c.what;
        EXPECT_EQ(error, c.error) << c.what;
        EXPECT_EQ(limiter.failure(), c.failure) << c.what;

        OutputLimiter silent{c.produced, false, sink, c.declared};
        EXPECT_EQ(silent.emit(data, c.length, nullptr), c.result) << c.what << " without an error text";
    }
}

TEST(ByteSourceContract, CountAboveTheCapacityIsTheCapacity) {
    const auto data = testsupport::WordText(20000);
    const auto stream = testsupport::ShrinkEncode(data);
    std::size_t pos = 0;
    // Claims three times the capacity whenever it fills it.
    const LegacyZip::ByteSource boastful = [&](unsigned char* buffer, unsigned long long capacity) {
        const std::size_t n = std::min<std::size_t>(capacity, stream.size() - pos);
        std::memcpy(buffer, stream.data() + pos, n);
        pos += n;
        return n == capacity ? capacity * 3 : n;
    };
    testsupport::CollectingSink out;
    std::string error;
    EXPECT_EQ(LegacyZip::Unshrink(boastful, data.size(), out.sink(), &error), Status::Ok) << error;
    EXPECT_EQ(out.bytes, data);
}

}  // namespace
