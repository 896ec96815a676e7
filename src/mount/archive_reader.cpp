#include "mount/archive_reader_impl.h"

#include <algorithm>

#include "mount/library_setup.h"

namespace ArchiveMount {

const char* DetectedFormatText(DetectedFormat format) {
    static const char* const kTexts[] = {"unknown", "zip",   "RAR", "RAR5",  "7z",   "tar",     "gzip",
                                         "bzip2",   "xz",    "zstd", "isz",  "lzma", "ISO 9660"};
    const int value = static_cast<int>(format);
    return value >= 1 && value <= 12 ? kTexts[value] : "unknown";
}

int KindFlagOf(ArchiveKind kind) {
    return kind == ArchiveKind::Rar5 || kind == ArchiveKind::SevenZip || kind == ArchiveKind::Tar ? 1 : 0;
}

ArchiveReader::Impl::Impl() = default;
ArchiveReader::Impl::~Impl() = default;

namespace {

using OrdinalPosition = std::pair<std::int32_t, std::uint32_t>;

bool OrdinalBefore(const OrdinalPosition& item, std::int32_t ordinal) { return item.first < ordinal; }

}  // namespace

void AddEntry(ArchiveReader::Impl& impl, Entry entry, std::uint64_t stamp) {
    const auto position = static_cast<std::uint32_t>(impl.entries.size());
    if (entry.ordinal >= 0) {
        auto& positions = impl.positions_by_ordinal;
        if (positions.empty() || positions.back().first < entry.ordinal) {
            positions.emplace_back(entry.ordinal, position);
        } else {
            const auto at = std::lower_bound(positions.begin(), positions.end(), entry.ordinal, OrdinalBefore);
            if (at->first == entry.ordinal)
                at->second = position;
            else
                positions.insert(at, {entry.ordinal, position});
        }
    }
    impl.stamps.push_back(stamp);
    impl.entries.push_back(std::move(entry));
}

std::size_t ArchiveReader::Impl::position_of(int ordinal) const {
    const auto at = std::lower_bound(positions_by_ordinal.begin(), positions_by_ordinal.end(), ordinal, OrdinalBefore);
    return at != positions_by_ordinal.end() && at->first == ordinal ? at->second : entries.size();
}

ArchiveReader::ArchiveReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ArchiveReader::~ArchiveReader() = default;

ArchiveKind ArchiveReader::Kind() const { return impl_->kind; }
int ArchiveReader::KindFlag() const { return impl_->kind_flag; }
const std::vector<Entry>& ArchiveReader::Entries() const { return impl_->entries; }
std::int64_t ArchiveReader::DeclaredTotal() const { return impl_->declared_total; }
std::uint64_t ArchiveReader::ArchiveSize() const { return impl_->archive_size; }
const std::string& ArchiveReader::Fingerprint() const { return impl_->fingerprint; }
ArchiveIdentity ArchiveReader::Identity() const { return impl_->identity; }

}  // namespace ArchiveMount
