#include "mount/dos_names.h"

#include "mount/short_names.h"

namespace ArchiveMount {

namespace {

constexpr int kMaxAttempts = 999;
constexpr std::size_t kMaxDosPath = 78;

}  // namespace

DosNameResult AssignDosName(DosNameAllocator& allocator, const std::string& parent, std::string_view component) {
    DosNameAllocator::Directory& directory = allocator.directories[parent];
    const ShortNameBasis basis = ComputeShortNameBasis(FoldToAscii(component));

    std::string candidate = basis.lossy ? TailNameOf(basis, 1) : PlainNameOf(basis);
    if (directory.names.contains(candidate)) {
        // Attempt n's candidate depends only on the basis, and a name once in
        // the set stays there: tails found taken never need probing again, so
        // members sharing one basis cost one probe each, not one per sibling.
        int& floor = directory.tail_floor.try_emplace(basis.name + "/" + basis.ext, 2).first->second;
        while (floor <= kMaxAttempts && directory.names.contains(candidate = TailNameOf(basis, floor))) ++floor;
        if (floor > kMaxAttempts) return {};
    }

    std::string dos_path = parent.empty() ? candidate : parent + "\\" + candidate;
    if (dos_path.size() > kMaxDosPath) return {};
    directory.names.insert(std::move(candidate));
    return {std::move(dos_path), true};
}

}  // namespace ArchiveMount
