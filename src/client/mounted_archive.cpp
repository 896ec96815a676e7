#include "client/mounted_archive.h"

#include "helper/request_loop.h"

namespace HelperClient {

using ArchiveMount::Error;

namespace {

// Said when only the fingerprint tells the archives apart: the file kept its
// size and mtime, so the helper's own text would not be true.
constexpr char kContentsChangedMessage[] = "archive contents changed since it was indexed";

// ChangedSinceIndexed unless a new helper's index is of the archive indexed
// first; the fingerprint covers the archive's length and every file entry.
Outcome SameArchive(const ArchiveHelper::IndexSummary& held, const ArchiveHelper::IndexSummary& fresh) {
    if (fresh.identity.size != held.identity.size || fresh.identity.mtime != held.identity.mtime) {
        return {Error::ChangedSinceIndexed, ArchiveMount::kIdentityChangedMessage};
    }
    if (fresh.fingerprint != held.fingerprint) return {Error::ChangedSinceIndexed, kContentsChangedMessage};
    return {};
}

}  // namespace

MountedArchive::MountedArchive(const std::string& path, const MountOptions& options) : options_(options) {
    open_.path = path;
    open_.limits = options.limits;
    if (options.session.archive_handle) open_.os_handle = *options.session.archive_handle;
    // Passed on even without a handle, so that the helper refuses it
    // rather than open the whole file.
    if (options.window.present) {
        open_.window_offset = options.window.offset;
        open_.window_length = options.window.length;
    }
}

std::unique_ptr<MountedArchive> MountedArchive::Open(const std::string& path, const MountOptions& options,
                                                     MountFailure* failure) {
    std::unique_ptr<MountedArchive> mount(new MountedArchive(path, options));
    bool lost = false;
    const Outcome outcome = mount->StartHelper(mount->index_, lost);
    if (outcome.ok()) return mount;
    if (failure) *failure = {outcome, mount->helpers_started_ > 0, mount->helper_log()};
    return nullptr;
}

Outcome MountedArchive::Materialize(std::uint32_t ordinal, std::string_view path) {
    return Serve([&](ArchiveSession& session) { return session.Materialize(ordinal, path); });
}

Outcome MountedArchive::MaterializeAll(std::string_view directory, const std::function<void()>& waiting) {
    return Serve([&](ArchiveSession& session) { return session.MaterializeAll(directory, waiting); });
}

std::optional<ExitStatus> MountedArchive::Finish() { return session_ ? session_->Finish() : std::nullopt; }

const std::string& MountedArchive::helper_log() {
    static const std::string kNoHelper;
    return session_ ? session_->helper_log() : kNoHelper;
}

Outcome MountedArchive::Serve(const Request& request) {
    if (spent_) return *spent_;
    bool lost = false;
    Outcome outcome = Attempt(request, lost);
    if (lost) {
        lost = false;
        outcome = Attempt(request, lost);
    }
    if (outcome.code == Error::ChangedSinceIndexed) {
        spent_ = outcome;
        Finish();
    }
    return outcome;
}

Outcome MountedArchive::Attempt(const Request& request, bool& lost) {
    if (!HasRoomForRequest()) {
        ArchiveHelper::IndexSummary index;
        Outcome started = StartHelper(index, lost);
        if (!started.ok()) return started;
        const Outcome same = SameArchive(index_, index);
        if (!same.ok()) return same;
    }
    return Step(request, lost);
}

Outcome MountedArchive::StartHelper(ArchiveHelper::IndexSummary& index, bool& lost) {
    if (session_) session_->Finish();
    frames_ = 0;
    Outcome failure;
    session_ = ArchiveSession::Start(options_.session, &failure);
    if (!session_) {
        lost = true;
        return failure;
    }
    ++helpers_started_;
    Outcome outcome = Step([&](ArchiveSession& session) { return session.Open(open_, index); }, lost);
    if (outcome.ok() && options_.hooks_per_helper) {
        for (const TestHook& hook : options_.hooks_per_helper()) {
            outcome = Step([&](ArchiveSession& session) { return session.SendHook(hook.type, hook.value); }, lost);
            if (!outcome.ok()) break;
        }
    }
    // A helper that refused leaves the next request a fresh one.
    if (!outcome.ok()) session_->Finish();
    return outcome;
}

Outcome MountedArchive::Step(const Request& step, bool& lost) {
    Outcome outcome = step(*session_);
    ++frames_;
    lost = !session_->running();
    if (lost) ++helpers_lost_;
    return outcome;
}

// The request and the CloseRequest after it both fit in the helper's frames.
bool MountedArchive::HasRoomForRequest() const {
    return session_ && session_->running() && frames_ + 2 <= ArchiveHelper::kMaxFrames;
}

}  // namespace HelperClient
