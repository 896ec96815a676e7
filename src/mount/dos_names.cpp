#include "mount/dos_names.h"

#include <algorithm>
#include <cstring>

#include "mount/short_names.h"

namespace ArchiveMount {

namespace {

constexpr int kMaxAttempts = 999;
constexpr std::size_t kMaxName = 12;
constexpr std::size_t kMaxDosPath = 78;

}  // namespace

std::uint32_t DosNameAllocator::KeyHash::operator()(const Key& key) const {
    // Both words multiplied into the high half, which the table's scaling uses.
    std::uint64_t hash = key.low * 0x9E3779B97F4A7C15u ^ key.high * 0xC2B2AE3D27D4EB4Fu;
    hash ^= hash >> 29;
    hash *= 0xBF58476D1CE4E5B9u;
    return static_cast<std::uint32_t>(hash >> 32);
}

DosNameAllocator::Key DosNameAllocator::KeyOf(std::uint32_t directory, std::string_view name) {
    // Candidates and bases are never longer than the key holds.
    unsigned char bytes[sizeof(Key)] = {};
    std::memcpy(bytes, &directory, sizeof directory);
    std::memcpy(bytes + sizeof directory, name.data(), std::min(name.size(), kMaxName));
    Key key;
    std::memcpy(&key.low, bytes, sizeof key.low);
    std::memcpy(&key.high, bytes + sizeof key.low, sizeof key.high);
    return key;
}

void DosNameAllocator::Reserve(std::size_t count) { names_.Reserve(count); }

std::uint32_t DosNameAllocator::DirectoryOf(std::string_view parent) {
    const auto found = directories_.find(parent);
    if (found != directories_.end()) return found->second;
    const auto number = static_cast<std::uint32_t>(directories_.size() + 1);
    directories_.emplace(std::string(parent), number);
    return number;
}

bool DosNameAllocator::Taken(const Key& key) const {
    return names_.Find(KeyHash{}(key), [&key](const Key& held) { return held == key; }) != nullptr;
}

bool DosNameAllocator::Holds(std::string_view parent, std::string_view name) const {
    const auto found = directories_.find(parent);
    return found != directories_.end() && name.size() <= kMaxName && Taken(KeyOf(found->second, name));
}

DosNameResult AssignDosName(DosNameAllocator& allocator, std::string_view parent, std::string_view component) {
    using Key = DosNameAllocator::Key;
    const std::uint32_t directory = allocator.DirectoryOf(parent);
    const ShortNameBasis basis = ComputeShortNameBasis(FoldToAscii(component));

    std::string candidate = basis.lossy ? TailNameOf(basis, 1) : PlainNameOf(basis);
    if (allocator.Taken(DosNameAllocator::KeyOf(directory, candidate))) {
        // Attempt n's candidate depends only on the basis, and a name once in
        // the set stays there: tails found taken never need probing again, so
        // members sharing one basis cost one probe each, not one per sibling.
        const Key basis_key = DosNameAllocator::KeyOf(directory, basis.name + "/" + basis.ext);
        const std::uint32_t hash = DosNameAllocator::KeyHash{}(basis_key);
        DosNameAllocator::Floor* found =
            allocator.floors_.Find(hash, [&basis_key](const DosNameAllocator::Floor& held) {
                return held.basis == basis_key;
            });
        std::int32_t& floor = found != nullptr ? found->floor : allocator.floors_.Insert({basis_key, 2}).floor;
        while (floor <= kMaxAttempts &&
               allocator.Taken(DosNameAllocator::KeyOf(directory, candidate = TailNameOf(basis, floor))))
            ++floor;
        if (floor > kMaxAttempts) return {};
    }

    const std::size_t length = parent.empty() ? candidate.size() : parent.size() + 1 + candidate.size();
    if (length > kMaxDosPath) return {};
    allocator.names_.Insert(DosNameAllocator::KeyOf(directory, candidate));
    // Made at its final size, which takes exactly that much: an index keeps
    // one per member, and growing a string rounds its room up.
    std::string dos_path(length, '\\');
    parent.copy(dos_path.data(), parent.size());
    candidate.copy(dos_path.data() + length - candidate.size(), candidate.size());
    return {std::move(dos_path), true};
}

}  // namespace ArchiveMount
