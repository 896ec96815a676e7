// Test-side only: the host calls live here rather than in the platform layer,
// which production code alone uses. Every descriptor sits on a handle, and a
// leak of either shows in the process's handles: those on files (pipes
// included) and on processes, the kinds the code under test holds. Others,
// such as events and threads, the runtime makes once on first use.
//
// The handles are found by trying every handle value in turn. The system's
// list of all handles would be quicker, but Wine's server crashes making it
// while another process is being terminated.
#include "support/open_descriptors.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <winternl.h>

#include <string>
#include <vector>

#include "platform/win32_support.h"

namespace testsupport {

namespace {

// Handle values are multiples of 4, handed out from the lowest free one; a
// test process stays far below this.
constexpr std::uintptr_t kLastHandleValue = 1 << 15;

using QueryObject = NTSTATUS(WINAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);

// "File" or "Process" for the handles counted, else empty.
std::wstring CountedType(HANDLE handle) {
    static const auto query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    alignas(8) unsigned char buffer[1024];
    ULONG length = 0;
    if (query(handle, ObjectTypeInformation, buffer, sizeof buffer, &length) != 0) return {};
    const auto* type = reinterpret_cast<const PUBLIC_OBJECT_TYPE_INFORMATION*>(buffer);
    std::wstring name(type->TypeName.Buffer, type->TypeName.Length / sizeof(wchar_t));
    return name == L"File" || name == L"Process" ? name : std::wstring();
}

// The counted handles of a process, as "value -> type".
std::vector<std::string> CountedHandles(DWORD process_id) {
    std::vector<std::string> found;
    const bool self = process_id == GetCurrentProcessId();
    const platform::WinHandle process(self ? nullptr : OpenProcess(PROCESS_DUP_HANDLE, FALSE, process_id));
    if (!self && !process.valid()) {
        ADD_FAILURE() << "cannot look into process " << process_id << " (" << GetLastError() << ")";
        return found;
    }
    for (std::uintptr_t value = 4; value <= kLastHandleValue; value += 4) {
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        std::wstring type;
        if (self) {
            DWORD flags = 0;
            if (GetHandleInformation(handle, &flags)) type = CountedType(handle);
        } else {
            HANDLE copy = nullptr;
            if (DuplicateHandle(process.get(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
                const platform::WinHandle owned(copy);
                type = CountedType(owned.get());
            }
        }
        if (!type.empty()) found.push_back(std::to_string(value) + " -> " + std::string(type.begin(), type.end()));
    }
    return found;
}

}  // namespace

std::size_t OpenDescriptorCount() { return CountedHandles(GetCurrentProcessId()).size(); }

std::set<std::string> OpenDescriptorsOf(int pid) {
    const auto handles = CountedHandles(static_cast<DWORD>(pid));
    return std::set<std::string>(handles.begin(), handles.end());
}

}  // namespace testsupport
