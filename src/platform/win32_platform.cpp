// Win32 implementation of the host layer: Windows handles under the C
// runtime's descriptors.
#include "platform/platform.h"

#include <windows.h>
#include <shellapi.h>

#include <cerrno>
#include <clocale>
#include <climits>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <random>
#include <vector>

#include "platform/win32_support.h"

namespace platform {

namespace {

// _O_RDONLY | _O_BINARY | _O_NOINHERIT: every descriptor over a handle we
// read archives through.
constexpr int kReadOnlyWrap = 0x8080;
// _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT.
constexpr int kCreateExclusive = 0x8581;
static_assert(kReadOnlyWrap == (_O_RDONLY | _O_BINARY | _O_NOINHERIT));
static_assert(kCreateExclusive == (_O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT));

HANDLE HandleFromValue(std::uint64_t value) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

// Wraps a handle this layer owns; the handle is closed when the wrap fails.
Descriptor WrapOwnedHandle(HANDLE handle) {
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle), kReadOnlyWrap);
    if (descriptor < 0) CloseHandle(handle);
    return Descriptor(descriptor);
}

// _read and _write take an unsigned int count.
unsigned int ClampCount(std::size_t count) {
    return count > static_cast<std::size_t>(INT_MAX) ? static_cast<unsigned int>(INT_MAX)
                                                     : static_cast<unsigned int>(count);
}

}  // namespace

bool SetCharacterTypeLocale(const char* name) {
    return std::setlocale(LC_CTYPE, name) != nullptr;
}

bool ApplyMemoryCap(std::uint64_t bytes) {
    const HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return false;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    static_assert(sizeof limits == 144);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_PROCESS_MEMORY;
    limits.ProcessMemoryLimit = static_cast<SIZE_T>(bytes);
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(job, GetCurrentProcess())) {
        CloseHandle(job);
        return false;
    }
    // The job handle is never closed: the cap lasts as long as the process.
    return true;
}

// The Windows heap already takes large blocks straight from the system and
// gives them back when freed, and caches nothing per thread.
void SteadyAllocator(char**) {}

std::string SteadyAllocatorEnvironment() { return {}; }

// The process heap decommits large free blocks by itself.
void ReturnFreedMemory() {}

void SetBinaryMode(int descriptor) { _setmode(descriptor, _O_BINARY); }

int DuplicateDescriptor(int descriptor) {
    // _dup takes the lowest free number, which is 0, 1 or 2 when one of the
    // standard descriptors is closed; hold those until a higher one comes.
    std::vector<int> low;
    int duplicate = _dup(descriptor);
    while (duplicate >= 0 && duplicate < 3) {
        low.push_back(duplicate);
        duplicate = _dup(descriptor);
    }
    for (const int held : low) _close(held);
    return duplicate;
}

int RedirectDescriptor(int source, int target) { return _dup2(source, target) == 0 ? 0 : -1; }

// A write to a pipe whose reader is gone fails with EPIPE here; no signal.
void IgnoreBrokenPipe() {}

long long ReadSome(int descriptor, void* buffer, std::size_t count) {
    return _read(descriptor, buffer, ClampCount(count));
}

long long WriteSome(int descriptor, const void* buffer, std::size_t count) {
    return _write(descriptor, buffer, ClampCount(count));
}

long long ReadAt(int descriptor, void* buffer, std::size_t count, std::int64_t offset) {
    const intptr_t handle = _get_osfhandle(descriptor);
    if (handle == reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE)) return -1;
    // A read at an offset moves the position of a synchronous handle.
    const long long position = _lseeki64(descriptor, 0, SEEK_CUR);
    if (position < 0) return -1;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<std::uint64_t>(offset));
    at.OffsetHigh = static_cast<DWORD>(static_cast<std::uint64_t>(offset) >> 32);
    DWORD read = 0;
    const bool done = ReadFile(reinterpret_cast<HANDLE>(handle), buffer, ClampCount(count), &read, &at);
    const bool at_end = !done && GetLastError() == ERROR_HANDLE_EOF;
    if (_lseeki64(descriptor, position, SEEK_SET) != position) return -1;
    if (!done) return at_end ? 0 : -1;
    return read;
}

long long Seek(int descriptor, long long offset, int whence) { return _lseeki64(descriptor, offset, whence); }

int CloseDescriptor(int descriptor) { return _close(descriptor); }

int LastErrorNumber() { return errno; }

bool HandleIsDiskFile(std::uint64_t handle) { return GetFileType(HandleFromValue(handle)) == FILE_TYPE_DISK; }

Descriptor WrapHandle(std::uint64_t handle) {
    return Descriptor(_open_osfhandle(static_cast<intptr_t>(handle), kReadOnlyWrap));
}

Descriptor OpenFileSharedForReading(const std::filesystem::path& path) {
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Descriptor();
    // Directories cannot be opened without backup semantics; this keeps out
    // pipes, consoles and devices.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return Descriptor();
    }
    return WrapOwnedHandle(handle);
}

Descriptor OpenDeviceForReadWrite(const std::filesystem::path& path) {
    int descriptor = -1;
    if (_wsopen_s(&descriptor, path.c_str(), _O_RDWR | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, _S_IREAD | _S_IWRITE) !=
        0)
        return Descriptor();
    return Descriptor(descriptor);
}

Descriptor DuplicateSharingPosition(int descriptor) {
    if (descriptor < 0) return Descriptor();
    const intptr_t original = _get_osfhandle(descriptor);
    if (original == reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE)) return Descriptor();
    HANDLE copy = nullptr;
    const HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, reinterpret_cast<HANDLE>(original), self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return Descriptor();
    }
    return WrapOwnedHandle(copy);
}

bool ReadFileIdentity(int descriptor, FileIdentity& out) {
    struct _stat64 info;
    if (_fstat64(descriptor, &info) != 0) return false;
    out.size = static_cast<std::uint64_t>(info.st_size);
    out.mtime = static_cast<std::int64_t>(info.st_mtime);
    return true;
}

Descriptor CreateFileExclusive(const std::filesystem::path& path) {
    int descriptor = -1;
    if (_wsopen_s(&descriptor, path.c_str(), kCreateExclusive, _SH_DENYNO, _S_IREAD | _S_IWRITE) != 0) {
        return Descriptor();
    }
    return Descriptor(descriptor);
}

Stream StreamFromDescriptor(Descriptor& descriptor, const char* mode) {
    Stream stream(_fdopen(descriptor.get(), mode));
    if (stream) descriptor.release();
    return stream;
}

bool SeekStream(std::FILE* stream, std::int64_t offset, int whence) { return _fseeki64(stream, offset, whence) == 0; }

std::int64_t TellStream(std::FILE* stream) { return _ftelli64(stream); }

std::optional<std::filesystem::path> PathFromUtf8(std::string_view utf8) {
    if (utf8.empty()) return std::filesystem::path();
    if (utf8.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    // The conversion would carry a NUL through and cut the name short at it.
    if (utf8.find('\0') != std::string_view::npos) return std::nullopt;
    const int length = static_cast<int>(utf8.size());
    const int wide_length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
    if (wide_length <= 0) return std::nullopt;
    std::wstring wide(static_cast<std::size_t>(wide_length), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, wide.data(), wide_length) !=
        wide_length) {
        return std::nullopt;
    }
    return std::filesystem::path(std::move(wide));
}

std::string PathToUtf8(const std::filesystem::path& path) {
    const std::wstring& wide = path.native();
    if (wide.empty() || wide.size() > static_cast<std::size_t>(INT_MAX)) return std::string();
    const int length = static_cast<int>(wide.size());
    const int narrow_length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (narrow_length <= 0) return std::string();
    std::string narrow(static_cast<std::size_t>(narrow_length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, narrow.data(), narrow_length, nullptr, nullptr);
    return narrow;
}

std::string SystemErrorText(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                            FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length > 0 ? std::wstring(text, length) : std::wstring();
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ')) {
        message.pop_back();
    }
    if (message.empty()) return "error " + std::to_string(code);
    return PathToUtf8(std::filesystem::path(std::move(message)));
}

Descriptor OpenFileForChild(const std::filesystem::path& path, std::string* reason) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    WinHandle handle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.valid()) {
        if (reason) *reason = SystemErrorText(GetLastError());
        return Descriptor();
    }
    // Inheritable for the C runtime as well, unlike WrapOwnedHandle's descriptors.
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), _O_RDONLY | _O_BINARY);
    if (descriptor < 0) {
        if (reason) *reason = "cannot make a descriptor for the handle";
        return Descriptor();
    }
    handle.release();
    return Descriptor(descriptor);
}

std::uint64_t HandleValue(int descriptor) {
    return static_cast<std::uint64_t>(static_cast<std::uintptr_t>(_get_osfhandle(descriptor)));
}

std::optional<std::filesystem::path> MakeScratchDirectory(const std::filesystem::path& parent,
                                                          std::string_view prefix, std::string* reason) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name(prefix);
        for (int i = 0; i < 8; ++i) name.push_back(kLetters[random() % (sizeof kLetters - 1)]);
        const std::filesystem::path directory = parent / name;
        // Created with the parent's permissions; a Windows directory has no
        // mode of its own to narrow.
        if (CreateDirectoryW(directory.c_str(), nullptr)) return directory;
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    if (reason) *reason = SystemErrorText(GetLastError());
    return std::nullopt;
}

std::vector<std::string> Utf8Arguments(int, char**) {
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return arguments;
    for (int i = 1; i < count; ++i) arguments.push_back(PathToUtf8(std::filesystem::path(wide[i])));
    LocalFree(wide);
    return arguments;
}

std::filesystem::path ProgramBeside(const char* argv0, std::string_view name) {
    std::wstring self(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
        if (length == 0) {
            self = std::filesystem::path(argv0).native();
            break;
        }
        if (length < self.size()) {
            self.resize(length);
            break;
        }
        self.resize(self.size() * 2);
    }
    return std::filesystem::path(self).parent_path() / (std::string(name) + ".exe");
}

std::error_code SetModificationTime(const std::filesystem::path& path, std::int64_t seconds) {
    // Backup semantics open directories too, which the C runtime cannot stamp.
    WinHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.valid()) return std::error_code(static_cast<int>(GetLastError()), std::system_category());
    // FILETIME counts 100 ns steps from 1601-01-01.
    constexpr std::int64_t kEpochDifference = 11644473600;
    const auto ticks = static_cast<std::uint64_t>((seconds + kEpochDifference) * 10000000);
    FILETIME time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    if (!SetFileTime(file.get(), nullptr, nullptr, &time)) {
        return std::error_code(static_cast<int>(GetLastError()), std::system_category());
    }
    return {};
}

bool TerminalTakesStatusLine(std::FILE* stream) {
    const intptr_t handle = _get_osfhandle(_fileno(stream));
    DWORD mode = 0;
    if (handle == reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE) ||
        !GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode)) {
        return false;
    }
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(reinterpret_cast<HANDLE>(handle), mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool LocalTime(std::time_t seconds, std::tm& out) { return localtime_s(&out, &seconds) == 0; }

// The C runtime reads the zone once, on its first conversion.
void KeepLocalTimeZone() {}

}  // namespace platform
