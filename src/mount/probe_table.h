// A flat hash table of small slots for the index's lookups: no allocation per
// element, no second copy of the strings a slot stands for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace ArchiveMount {

// Open addressing with linear probing over a table sized to the count, not
// to a power of two. A value-initialised slot is empty, so a held slot must
// differ from it; `HashOf{}(slot)` gives the 32-bit hash a held slot was
// placed by, for moving it when the table grows. Nothing is ever removed.
template <typename Slot, typename HashOf>
class ProbeTable {
public:
    // Room for `count` slots in all before the table grows.
    void Reserve(std::size_t count) {
        if (count > slots_.size() / 4 * 3) Rebuild(count);
    }

    // The held slot that `same` accepts, probing from `hash`; null when none.
    template <typename Same>
    const Slot* Find(std::uint32_t hash, Same same) const {
        if (slots_.empty()) return nullptr;
        for (std::size_t i = Home(hash);; i = Next(i)) {
            const Slot& slot = slots_[i];
            if (IsEmpty(slot)) return nullptr;
            if (same(slot)) return &slot;
        }
    }
    template <typename Same>
    Slot* Find(std::uint32_t hash, Same same) {
        return const_cast<Slot*>(std::as_const(*this).Find(hash, same));
    }

    // Holds `slot`; the caller has found no held slot the same.
    Slot& Insert(const Slot& slot) {
        if (count_ + 1 > slots_.size() / 4 * 3) Rebuild(2 * (count_ + 1));
        ++count_;
        return Place(slot);
    }

    std::size_t size() const { return count_; }

private:
    static bool IsEmpty(const Slot& slot) { return slot == Slot{}; }

    // The hash scaled onto the table: the high bits of hash * size.
    std::size_t Home(std::uint32_t hash) const {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(hash) * slots_.size()) >> 32);
    }
    std::size_t Next(std::size_t i) const { return i + 1 == slots_.size() ? 0 : i + 1; }

    Slot& Place(const Slot& slot) {
        std::size_t i = Home(HashOf{}(slot));
        while (!IsEmpty(slots_[i])) i = Next(i);
        slots_[i] = slot;
        return slots_[i];
    }

    // At most three quarters full with `count` slots.
    void Rebuild(std::size_t count) {
        std::vector<Slot> old(count / 3 * 4 + 4);
        old.swap(slots_);
        for (const Slot& slot : old) {
            if (!IsEmpty(slot)) Place(slot);
        }
    }

    std::vector<Slot> slots_;
    std::size_t count_ = 0;
};

}  // namespace ArchiveMount
