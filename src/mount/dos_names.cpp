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

    // Attempt n's candidate depends only on the basis, and a name once in the
    // set stays there; so tails found taken never need looking at again and
    // many members sharing one basis cost one probe each, not one per sibling.
    int& floor = directory.tail_floor[basis.name + "/" + basis.ext];
    if (floor < 2) floor = 2;

    std::string candidate = basis.lossy ? TailNameOf(basis, 1) : PlainNameOf(basis);
    int attempt = 1;
    while (directory.names.contains(candidate)) {
        attempt = attempt < floor ? floor : attempt + 1;
        if (attempt > kMaxAttempts) {
            floor = attempt;
            return {};
        }
        candidate = TailNameOf(basis, attempt);
    }
    if (attempt >= 2) floor = attempt;

    std::string dos_path = parent.empty() ? candidate : parent + "\\" + candidate;
    if (dos_path.size() > kMaxDosPath) return {};
    directory.names.insert(std::move(candidate));
    if (attempt >= 2) floor = attempt + 1;
    return {std::move(dos_path), true};
}

}  // namespace ArchiveMount
