// Host operations the helper needs, named after what it needs of them.
// One implementation per host: posix_platform.cpp, win32_platform.cpp.
// Descriptors are C runtime descriptors: POSIX file descriptors, or on
// Windows the C runtime's descriptors over Windows handles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "platform/owners.h"

namespace platform {

// Sets the character-type locale; true when the named locale was accepted.
bool SetCharacterTypeLocale(const char* name);

// Caps the process's committed memory at `bytes` for the rest of its life.
// False when the cap cannot be applied.
bool ApplyMemoryCap(std::uint64_t bytes);

// Makes what one request freed fully usable by the next, whatever its
// shape, so that a capped helper answers the same request alike every time:
// large blocks come from the system and go back when freed, and freed small
// blocks are not held in per-size caches. Where the allocator takes the
// latter only at process start, this restarts the program once with `argv`
// (same process, descriptors kept); it returns when nothing is left to do or
// the restart is impossible.
void SteadyAllocator(char** argv);

// The NAME=VALUE that SteadyAllocator needs in the environment at process
// start, given this process's own environment; empty when nothing is needed
// (it is there already, or the host has no such switch). A parent that
// starts the helper with it saves the helper its restart.
std::string SteadyAllocatorEnvironment();

// Hands the pages of memory already freed back to the system, wherever in the
// heap they lie, so that they stop counting as resident.
void ReturnFreedMemory();

// Switches a descriptor to binary mode (no newline translation). No-op on POSIX.
void SetBinaryMode(int descriptor);

// Makes a close-on-exec duplicate of `descriptor`, numbered 3 or above so it
// can never take the place of a closed standard descriptor; negative on failure.
int DuplicateDescriptor(int descriptor);

// Makes `target` refer to what `source` refers to; 0 on success, nonzero on failure.
int RedirectDescriptor(int source, int target);

// Keeps a write to a pipe the reader closed from killing the process, so it
// surfaces as a failed write instead.
void IgnoreBrokenPipe();

// One blocking read or write; interrupted calls are retried. Returns the byte
// count, 0 at end of input, negative on failure.
long long ReadSome(int descriptor, void* buffer, std::size_t count);
long long WriteSome(int descriptor, const void* buffer, std::size_t count);

// Writes all `count` bytes, going on after short writes; false when a write
// fails or writes nothing.
bool WriteAll(int descriptor, const void* buffer, std::size_t count);

// Reads up to `count` bytes at `offset` whatever the descriptor's file
// position, and leaves that position as it was: other readers of the open
// file go on where they were. On POSIX several threads may read one
// descriptor at once. The count, 0 at the end, negative on failure.
long long ReadAt(int descriptor, void* buffer, std::size_t count, std::int64_t offset);

// Positions a descriptor (SEEK_SET, SEEK_CUR, SEEK_END); the new position or -1.
long long Seek(int descriptor, long long offset, int whence);

// Closes a descriptor; 0 on success.
int CloseDescriptor(int descriptor);

// The error number of the last failed call on this thread.
int LastErrorNumber();

// True when an operating-system handle value passed by the parent names a
// disk file. On POSIX the handle is a descriptor number the parent left open.
bool HandleIsDiskFile(std::uint64_t handle);

// Wraps a passed handle in a read-only, non-inheritable descriptor that owns
// it: closing the descriptor closes the handle. Empty on failure.
Descriptor WrapHandle(std::uint64_t handle);

// Opens an existing regular file for reading without keeping anyone else from
// reading, writing, renaming or deleting it. Never blocks on a FIFO or device;
// anything that is not a regular file fails. Empty on failure.
Descriptor OpenFileSharedForReading(const std::filesystem::path& path);

// Opens a device (or any file) for reading and writing, non-inheritable;
// empty on failure, with LastErrorNumber() telling why.
Descriptor OpenDeviceForReadWrite(const std::filesystem::path& path);

// A new non-inheritable descriptor on the same open file; the two share one
// file position. Empty on failure.
Descriptor DuplicateSharingPosition(int descriptor);

struct FileIdentity {
    std::uint64_t size = 0;
    std::int64_t mtime = 0;  // whole seconds since 1970-01-01 00:00 UTC
};

// Size and modification time of the file behind a descriptor.
bool ReadFileIdentity(int descriptor, FileIdentity& out);

// Creates a new file that must not exist yet, for writing, non-inheritable.
// Empty on failure (also when the file exists).
Descriptor CreateFileExclusive(const std::filesystem::path& path);

// A stdio stream over a descriptor. On success the stream owns it and
// `descriptor` is left empty; on failure it stays with the caller.
Stream StreamFromDescriptor(Descriptor& descriptor, const char* mode);

// Positions a stdio stream with a 64-bit offset (SEEK_SET, SEEK_CUR, SEEK_END);
// true on success.
bool SeekStream(std::FILE* stream, std::int64_t offset, int whence);

// The 64-bit position of a stdio stream; negative on failure.
std::int64_t TellStream(std::FILE* stream);

// Strict UTF-8 to path: overlong forms, surrogates, code points above
// U+10FFFF, truncated sequences and NUL bytes are refused.
std::optional<std::filesystem::path> PathFromUtf8(std::string_view utf8);

// A path as UTF-8, for messages and log lines.
std::string PathToUtf8(const std::filesystem::path& path);

// Opens an existing file for reading, to be handed to a child process that
// ChildOptions::inherited_handle names it to: on POSIX a close-on-exec
// descriptor numbered 3 or above, on Windows a descriptor over an inheritable
// handle. Empty on failure, with the host's reason.
Descriptor OpenFileForChild(const std::filesystem::path& path, std::string* reason);

// The value a child process names a descriptor's file by: the descriptor
// number on POSIX, the handle under it on Windows.
std::uint64_t HandleValue(int descriptor);

// Creates a new directory, readable by this user alone where the host has
// such permissions, named `prefix` and a random suffix inside `parent`.
// Nullopt on failure, with the host's reason.
std::optional<std::filesystem::path> MakeScratchDirectory(const std::filesystem::path& parent,
                                                          std::string_view prefix, std::string* reason);

// The program's arguments after its own name, as UTF-8: `argv` on POSIX,
// the command line's UTF-16 form on Windows, whose `argv` is in the ANSI code page.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// The program `name` in this program's own directory, with the host's suffix
// for programs; `argv0` places this program when the host cannot say.
std::filesystem::path ProgramBeside(const char* argv0, std::string_view name);

// True when the stream is a terminal that redraws a status line in place
// (ANSI erase-line sequences); on Windows this turns the console's handling
// of those sequences on.
bool TerminalTakesStatusLine(std::FILE* stream);

// Sets the modification time of a file or a directory to `seconds` since
// 1970-01-01 00:00 UTC; the host's error, if any.
std::error_code SetModificationTime(const std::filesystem::path& path, std::int64_t seconds);

// Local broken-down time of `seconds`, thread-safe; false when it cannot be converted.
bool LocalTime(std::time_t seconds, std::tm& out);

// Makes later local-time conversions reuse the time zone loaded now instead of
// checking the zone file again on every call (the archive library converts the
// time of every member). Idempotent.
void KeepLocalTimeZone();

}  // namespace platform
