// The front of materialization: identity check, lookup, and the choice among
// the ISZ decoder, the legacy ZIP path and a library handle.
#include "mount/member_materialization.h"

#include "formats/isz_member.h"
#include "mount/archive_sources.h"
#include "mount/library_setup.h"

#include <memory>

namespace ArchiveMount {

Error CheckUnchanged(const ArchiveReader::Impl& impl, std::string* message) {
    ArchiveIdentity now;
    if (!ReadArchiveIdentity(impl.descriptor.get(), now) || now.size != impl.identity.size ||
        now.mtime != impl.identity.mtime) {
        if (message) *message = kIdentityChangedMessage;
        return Error::ChangedSinceIndexed;
    }
    return Error::Ok;
}

const Entry* FindFileEntry(const ArchiveReader::Impl& impl, int ordinal) {
    const std::size_t position = impl.position_of(ordinal);
    if (position >= impl.entries.size()) return nullptr;
    const Entry& entry = impl.entries[position];
    return entry.is_dir ? nullptr : &entry;
}

MemberProducer IszProducer(const ArchiveReader::Impl& impl, std::string* message) {
    return [&impl, message](const MemberSink& sink) {
        return IszImage::Decode(impl.descriptor.get(), *impl.isz_image, sink, message);
    };
}

MemberProducer LegacyProducer(const ArchiveReader::Impl& impl, int ordinal, const Entry& entry, std::string* message) {
    const auto found = impl.legacy_members.find(ordinal);
    if (found == impl.legacy_members.end()) return {};
    const ZipCentralDirectory::Record& record = found->second;
    return [&impl, &record, &entry, message](const MemberSink& sink) {
        return impl.read_legacy(record, entry, sink, message);
    };
}

namespace {

// The checks before any byte is produced; the entry, or null with the code.
const Entry* CheckedEntry(const ArchiveReader::Impl& impl, int ordinal, Error& code, std::string* message) {
    code = CheckUnchanged(impl, message);
    if (code != Error::Ok) return nullptr;
    const Entry* entry = FindFileEntry(impl, ordinal);
    if (entry == nullptr) {
        if (message) *message = "no such member";
        code = Error::NoSuchEntry;
    }
    return entry;
}

}  // namespace

Error ArchiveReader::Materialize(int ordinal, std::vector<unsigned char>& out, std::string* message) {
    out.clear();
    const Impl& impl = *impl_;
    Error code;
    const Entry* entry = CheckedEntry(impl, ordinal, code, message);
    if (entry == nullptr) {
        impl.drop_kept();
        return code;
    }

    const MemberSink append = [&out](const unsigned char* data, unsigned long long count) {
        out.insert(out.end(), data, data + count);
        return true;
    };
    MemberProducer produce = impl.isz_image ? IszProducer(impl, message) : LegacyProducer(impl, ordinal, *entry, message);
    if (produce) {
        // A decoded image or legacy member that failed its checks is not kept.
        code = produce(append);
        if (code != Error::Ok) out.clear();
        return code;
    }
    std::unique_ptr<LibraryHandle> handle;
    code = impl.reach_member(ordinal, handle, message);
    if (code == Error::Ok) code = impl.stream_member(handle->archive, *entry, append, message);
    if (code == Error::Ok) {
        impl.keep_for_later(std::move(handle), ordinal);
    } else {
        impl.drop_kept();
    }
    return code;
}

Error ArchiveReader::MaterializeToFile(int ordinal, const std::filesystem::path& file, std::string* message) {
    const Impl& impl = *impl_;
    Error code;
    const Entry* entry = CheckedEntry(impl, ordinal, code, message);
    if (entry == nullptr) {
        impl.drop_kept();
        return code;
    }

    MemberProducer produce = impl.isz_image ? IszProducer(impl, message) : LegacyProducer(impl, ordinal, *entry, message);
    if (produce) return impl.write_member(produce, *entry, file, message);
    // Positioning comes first so that an unreachable member touches no file.
    std::unique_ptr<LibraryHandle> handle;
    code = impl.reach_member(ordinal, handle, message);
    if (code == Error::Ok) {
        const MemberProducer stream = [&](const MemberSink& sink) {
            return impl.stream_member(handle->archive, *entry, sink, message);
        };
        code = impl.write_member(stream, *entry, file, message);
    }
    if (code == Error::Ok) {
        impl.keep_for_later(std::move(handle), ordinal);
    } else {
        impl.drop_kept();
    }
    return code;
}

}  // namespace ArchiveMount
