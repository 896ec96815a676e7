// What the Win32 files of the host layer share: the owner of a kernel handle
// and the system's text for an error code.
#pragma once

#include <windows.h>

#include <string>

namespace platform {

// Owns a kernel handle and closes it when destroyed. Move-only; both null and
// INVALID_HANDLE_VALUE mean none.
class WinHandle {
public:
    WinHandle() = default;
    explicit WinHandle(HANDLE value) noexcept : value_(value) {}
    WinHandle(WinHandle&& other) noexcept : value_(other.release()) {}
    WinHandle& operator=(WinHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    WinHandle(const WinHandle&) = delete;
    WinHandle& operator=(const WinHandle&) = delete;
    ~WinHandle() { reset(); }

    HANDLE get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ != nullptr && value_ != INVALID_HANDLE_VALUE; }
    // Gives the handle up without closing it; the caller owns it now.
    HANDLE release() noexcept {
        const HANDLE value = value_;
        value_ = nullptr;
        return value;
    }
    // Closes the handle held, if any, and takes `value` instead.
    void reset(HANDLE value = nullptr) noexcept {
        if (valid()) CloseHandle(value_);
        value_ = value;
    }

private:
    HANDLE value_ = nullptr;
};

// The system's message for a Win32 error code, as UTF-8 without the final
// line break; the number when there is none.
std::string SystemErrorText(DWORD code);

}  // namespace platform
