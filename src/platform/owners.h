// The one owner of each host resource the helper holds: a descriptor or a
// stdio stream is released by exactly one destructor, so nothing leaks when an
// exception unwinds through the code that made it.
#pragma once

#include <cstdio>
#include <memory>

namespace platform {

// Owns a descriptor and closes it when destroyed. Move-only; -1 means none.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int value) noexcept : value_(value) {}
    Descriptor(Descriptor&& other) noexcept : value_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }

    int get() const noexcept { return value_; }
    bool valid() const noexcept { return value_ >= 0; }
    // Gives the descriptor up without closing it; the caller owns it now.
    int release() noexcept {
        const int value = value_;
        value_ = -1;
        return value;
    }
    // Closes the descriptor held, if any, and takes `value` instead.
    void reset(int value = -1) noexcept;

private:
    int value_ = -1;
};

struct StreamCloser {
    void operator()(std::FILE* stream) const noexcept { std::fclose(stream); }
};

// Owns a stdio stream (and the descriptor under it); closes it when destroyed.
using Stream = std::unique_ptr<std::FILE, StreamCloser>;

}  // namespace platform
