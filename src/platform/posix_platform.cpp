// POSIX implementation of the host layer.
#include "platform/platform.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstring>
#include <string>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

bool SetCharacterTypeLocale(const char* name) {
    return std::setlocale(LC_CTYPE, name) != nullptr;
}

bool ApplyMemoryCap(std::uint64_t bytes) {
    // RLIMIT_DATA covers the heap and private anonymous mappings, which is
    // what a committed-memory cap limits on Windows.
    struct rlimit limit;
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    limit.rlim_max = static_cast<rlim_t>(bytes);
    return setrlimit(RLIMIT_DATA, &limit) == 0;
}

namespace {

constexpr char kTunables[] = "GLIBC_TUNABLES";

}  // namespace

std::string SteadyAllocatorEnvironment() {
    // The per-thread cache of small freed blocks keeps blocks in use as far
    // as the heap knows: the heap can then neither shrink nor serve a second
    // large open from what the first freed. It is switched off only by a
    // tunable read at start.
    static constexpr char kNoCache[] = "glibc.malloc.tcache_count=0";
    const char* tunables = std::getenv(kTunables);
    if (tunables != nullptr && std::strstr(tunables, kNoCache) != nullptr) return {};
    return std::string(kTunables) + "=" +
           (tunables != nullptr && *tunables != '\0' ? std::string(tunables) + ":" + kNoCache : kNoCache);
}

void SteadyAllocator(char** argv) {
    // Setting the threshold stops the C library from raising it after each
    // large free, which moves later large blocks into a heap that never
    // shrinks past the fragments left between them. Above the archive
    // library's 256 KiB buffers, which a request for a small member would
    // otherwise map, fault in and unmap each time.
    constexpr int kLargeBlock = 512 * 1024;
    mallopt(M_MMAP_THRESHOLD, kLargeBlock);
    mallopt(M_TRIM_THRESHOLD, kLargeBlock);
    const std::string wanted = SteadyAllocatorEnvironment();
    if (wanted.empty()) return;
    if (setenv(kTunables, wanted.c_str() + sizeof kTunables, 1) != 0) return;
    execv("/proc/self/exe", argv);
}

void ReturnFreedMemory() { malloc_trim(0); }

void SetBinaryMode(int) {}

int DuplicateDescriptor(int descriptor) {
    return fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
}

int RedirectDescriptor(int source, int target) {
    int result;
    do {
        result = dup2(source, target);
    } while (result < 0 && errno == EINTR);
    return result < 0 ? -1 : 0;
}

void IgnoreBrokenPipe() { std::signal(SIGPIPE, SIG_IGN); }

long long ReadSome(int descriptor, void* buffer, std::size_t count) {
    ssize_t result;
    do {
        result = read(descriptor, buffer, count);
    } while (result < 0 && errno == EINTR);
    return result;
}

long long WriteSome(int descriptor, const void* buffer, std::size_t count) {
    ssize_t result;
    do {
        result = write(descriptor, buffer, count);
    } while (result < 0 && errno == EINTR);
    return result;
}

long long ReadAt(int descriptor, void* buffer, std::size_t count, std::int64_t offset) {
    ssize_t result;
    do {
        result = pread(descriptor, buffer, count, static_cast<off_t>(offset));
    } while (result < 0 && errno == EINTR);
    return result;
}

long long Seek(int descriptor, long long offset, int whence) {
    return lseek(descriptor, static_cast<off_t>(offset), whence);
}

int CloseDescriptor(int descriptor) { return close(descriptor); }

int LastErrorNumber() { return errno; }

bool HandleIsDiskFile(std::uint64_t handle) {
    if (handle > static_cast<std::uint64_t>(INT_MAX)) return false;
    struct stat info;
    if (fstat(static_cast<int>(handle), &info) != 0) return false;
    return S_ISREG(info.st_mode);
}

Descriptor WrapHandle(std::uint64_t handle) {
    if (handle > static_cast<std::uint64_t>(INT_MAX)) return Descriptor();
    const int descriptor = static_cast<int>(handle);
    // The descriptor itself becomes the wrap; keep it from leaking into
    // anything the helper might start.
    const int flags = fcntl(descriptor, F_GETFD);
    if (flags < 0 || fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC) < 0) return Descriptor();
    return Descriptor(descriptor);
}

Descriptor OpenFileSharedForReading(const std::filesystem::path& path) {
    // Non-blocking so that a FIFO without a writer cannot hang the open.
    int value;
    do {
        value = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (value < 0 && errno == EINTR);
    Descriptor descriptor(value);
    if (!descriptor.valid()) return descriptor;
    struct stat info;
    if (fstat(value, &info) != 0 || !S_ISREG(info.st_mode)) return Descriptor();
    const int flags = fcntl(value, F_GETFL);
    if (flags < 0 || fcntl(value, F_SETFL, flags & ~O_NONBLOCK) < 0) return Descriptor();
    return descriptor;
}

Descriptor OpenDeviceForReadWrite(const std::filesystem::path& path) {
    int descriptor;
    do {
        descriptor = open(path.c_str(), O_RDWR | O_CLOEXEC);
    } while (descriptor < 0 && errno == EINTR);
    return Descriptor(descriptor);
}

Descriptor DuplicateSharingPosition(int descriptor) {
    if (descriptor < 0) return Descriptor();
    return Descriptor(fcntl(descriptor, F_DUPFD_CLOEXEC, 0));
}

bool ReadFileIdentity(int descriptor, FileIdentity& out) {
    struct stat info;
    if (fstat(descriptor, &info) != 0) return false;
    out.size = static_cast<std::uint64_t>(info.st_size);
    out.mtime = static_cast<std::int64_t>(info.st_mtime);
    return true;
}

Descriptor CreateFileExclusive(const std::filesystem::path& path) {
    int descriptor;
    do {
        descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (descriptor < 0 && errno == EINTR);
    return Descriptor(descriptor);
}

Stream StreamFromDescriptor(Descriptor& descriptor, const char* mode) {
    Stream stream(fdopen(descriptor.get(), mode));
    if (stream) descriptor.release();
    return stream;
}

bool SeekStream(std::FILE* stream, std::int64_t offset, int whence) {
    return fseeko(stream, static_cast<off_t>(offset), whence) == 0;
}

std::int64_t TellStream(std::FILE* stream) { return static_cast<std::int64_t>(ftello(stream)); }

namespace {

// Length of the valid UTF-8 sequence at `s`, or 0 when it is not valid.
std::size_t ValidSequenceLength(const unsigned char* s, std::size_t available) {
    const unsigned char lead = s[0];
    if (lead == 0) return 0;
    if (lead < 0x80) return 1;
    std::size_t length;
    std::uint32_t code;
    std::uint32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (available < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((s[i] & 0xC0) != 0x80) return 0;
        code = (code << 6) | (s[i] & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF) return 0;
    if (code >= 0xD800 && code <= 0xDFFF) return 0;
    return length;
}

}  // namespace

std::optional<std::filesystem::path> PathFromUtf8(std::string_view utf8) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(utf8.data());
    std::size_t position = 0;
    while (position < utf8.size()) {
        const std::size_t length = ValidSequenceLength(bytes + position, utf8.size() - position);
        if (length == 0) return std::nullopt;
        position += length;
    }
    return std::filesystem::path(std::string(utf8));
}

std::string PathToUtf8(const std::filesystem::path& path) { return path.string(); }

Descriptor OpenFileForChild(const std::filesystem::path& path, std::string* reason) {
    int opened;
    do {
        opened = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (opened < 0 && errno == EINTR);
    Descriptor original(opened);
    // Kept above the standard descriptors whatever this process was started with.
    Descriptor passed(original.valid() ? fcntl(original.get(), F_DUPFD_CLOEXEC, 3) : -1);
    if (!passed.valid() && reason) *reason = std::strerror(errno);
    return passed;
}

std::uint64_t HandleValue(int descriptor) { return static_cast<std::uint64_t>(descriptor); }

std::optional<std::filesystem::path> MakeScratchDirectory(const std::filesystem::path& parent,
                                                          std::string_view prefix, std::string* reason) {
    std::string pattern = (parent / (std::string(prefix) + "XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        if (reason) *reason = std::strerror(errno);
        return std::nullopt;
    }
    return std::filesystem::path(pattern);
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

std::filesystem::path ProgramBeside(const char* argv0, std::string_view name) {
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) self = argv0;
    return self.parent_path() / std::string(name);
}

std::error_code SetModificationTime(const std::filesystem::path& path, std::int64_t seconds) {
    const auto system = std::chrono::system_clock::time_point(std::chrono::seconds(seconds));
    std::error_code error;
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::from_sys(system), error);
    return error;
}

bool TerminalTakesStatusLine(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

bool LocalTime(std::time_t seconds, std::tm& out) { return localtime_r(&seconds, &out) != nullptr; }

void KeepLocalTimeZone() {
    // With TZ unset the C library re-reads /etc/localtime on each mktime;
    // naming that same file keeps the zone and loads it once.
    if (std::getenv("TZ") == nullptr) setenv("TZ", ":/etc/localtime", 0);
    tzset();
}

}  // namespace platform
