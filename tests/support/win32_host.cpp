// Test-side only: the host calls live here rather than in the platform layer,
// which production code alone uses.
#include "support/host.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdlib>
#include <ctime>

#include "platform/win32_support.h"

namespace testsupport {

bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool ProcessRunning(int pid) {
    const platform::WinHandle process(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid)));
    return process.valid() && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

std::vector<int> ChildProcessIds() {
    std::vector<int> children;
    const platform::WinHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) {
        ADD_FAILURE() << "cannot list the processes (" << GetLastError() << ")";
        return children;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID == GetCurrentProcessId()) children.push_back(static_cast<int>(entry.th32ProcessID));
    }
    return children;
}

std::string NoSuchFileText() { return platform::SystemErrorText(ERROR_PATH_NOT_FOUND); }

std::filesystem::path LiteralPath(const std::filesystem::path& path) {
    return L"\\\\?\\" + std::filesystem::absolute(path).native();
}

std::uint64_t OpenUnownedHandle(const std::filesystem::path& path) {
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE) << path;
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
}

bool HandleIsOpen(std::uint64_t handle) {
    DWORD flags = 0;
    return GetHandleInformation(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle)), &flags) != 0;
}

std::filesystem::path NullDevice() { return "NUL"; }

UnwrittenPipe::UnwrittenPipe(const std::filesystem::path&, const std::string& name) {
    static std::atomic<unsigned> counter{0};
    path_ = L"\\\\.\\pipe\\ombrex-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter++) + L"-" + std::filesystem::path(name).native();
    // Outbound: a client may open it for reading, and nothing ever comes.
    server_ = CreateNamedPipeW(path_.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                               nullptr);
    EXPECT_NE(server_, INVALID_HANDLE_VALUE) << path_ << ": " << GetLastError();
}

UnwrittenPipe::~UnwrittenPipe() {
    if (server_ != INVALID_HANDLE_VALUE && server_ != nullptr) CloseHandle(server_);
}

platform::Descriptor OpenLeakyDescriptor(const std::filesystem::path& path) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    platform::WinHandle handle(CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle.valid()) return platform::Descriptor();
    platform::Descriptor descriptor(_open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), _O_RDONLY | _O_BINARY));
    if (descriptor.valid()) handle.release();  // the descriptor owns it now
    return descriptor;
}

// The C runtime's copy and the process's own block, which children inherit.
void SetVariable(const std::string& name, const std::optional<std::string>& value) {
    EXPECT_EQ(_putenv_s(name.c_str(), value ? value->c_str() : ""), 0) << name;
    EXPECT_TRUE(SetEnvironmentVariableA(name.c_str(), value ? value->c_str() : nullptr)) << name;
}

void UseUtcAsLocalTime() {
    _putenv_s("TZ", "UTC0");
    _tzset();
}

ScopedDescriptorLimit::ScopedDescriptorLimit(int room) {
    // The C runtime's table of descriptors has a fixed size: filled up, all
    // but `room` of it, nothing more can be made.
    platform::Descriptor source(_open("NUL", _O_RDONLY | _O_BINARY));
    EXPECT_TRUE(source.valid());
    for (;;) {
        const int copy = _dup(source.get());
        if (copy < 0) break;
        held_.emplace_back(copy);
    }
    held_.push_back(std::move(source));
    for (int i = 0; i < room && !held_.empty(); ++i) held_.pop_back();
}

ScopedDescriptorLimit::~ScopedDescriptorLimit() = default;

}  // namespace testsupport
