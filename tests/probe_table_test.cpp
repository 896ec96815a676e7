#include "mount/probe_table.h"

#include <gtest/gtest.h>

#include <random>
#include <unordered_map>

namespace {

struct Slot {
    std::uint32_t key = 0;  // 0 marks an empty slot
    std::uint32_t value = 0;
    bool operator==(const Slot&) const = default;
};

// A deliberately poor hash: every key falls into one of eight homes, so that
// probes run long, wrap around the table's end and cross what a growth moved.
std::uint32_t Crowded(std::uint32_t key) { return (key % 8) * 0x20000000u; }

struct CrowdedHash {
    std::uint32_t operator()(const Slot& slot) const { return Crowded(slot.key); }
};

// The table against std::unordered_map over the same inserts and look-ups,
// through several growths from empty and from a reserved size.
TEST(ProbeTable, AnswersAsAMapDoesThroughGrowth) {
    for (const std::size_t reserved : {0u, 100u}) {
        ArchiveMount::ProbeTable<Slot, CrowdedHash> table;
        table.Reserve(reserved);
        std::unordered_map<std::uint32_t, std::uint32_t> reference;
        std::mt19937 random(5);
        for (std::uint32_t step = 0; step < 3000; ++step) {
            const std::uint32_t key = random() % 4000 + 1;
            const auto same = [key](const Slot& held) { return held.key == key; };
            const Slot* found = table.Find(Crowded(key), same);
            const auto expected = reference.find(key);
            ASSERT_EQ(found != nullptr, expected != reference.end()) << "step " << step << ", key " << key;
            if (found != nullptr) {
                ASSERT_EQ(found->value, expected->second);
            } else {
                table.Insert({key, step});
                reference.emplace(key, step);
            }
            ASSERT_EQ(table.size(), reference.size());
        }
        for (const auto& [key, value] : reference) {
            const Slot* found = table.Find(Crowded(key), [key = key](const Slot& held) { return held.key == key; });
            ASSERT_NE(found, nullptr) << key;
            EXPECT_EQ(found->value, value);
        }
    }
}

}  // namespace
