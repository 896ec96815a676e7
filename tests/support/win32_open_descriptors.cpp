// Test-side only: the host calls live here rather than in the platform layer,
// which production code alone uses. Every descriptor sits on a handle, and a
// leak of either shows in the process's handles: those on files (pipes
// included) and on processes, the kinds the code under test holds. Others,
// such as events and threads, the runtime makes once on first use.
#include "support/open_descriptors.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <utility>
#include <vector>

#include "platform/win32_support.h"

namespace testsupport {

namespace {

// SystemExtendedHandleInformation: every handle of every process.
constexpr ULONG kExtendedHandleInformation = 64;
constexpr LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);

struct HandleEntry {
    PVOID object;
    ULONG_PTR process_id;
    ULONG_PTR handle;
    ULONG access;
    USHORT creator_back_trace;
    USHORT type;
    ULONG attributes;
    ULONG reserved;
};

struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};

using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

std::vector<HandleEntry> AllHandlesOf(DWORD process_id) {
    const auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<unsigned char> buffer(1 << 16);
    LONG status;
    for (;;) {
        ULONG needed = 0;
        status = query(kExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status != kInfoLengthMismatch) break;
        buffer.resize(buffer.size() * 2);
    }
    std::vector<HandleEntry> found;
    if (status != 0) {
        ADD_FAILURE() << "cannot list the handles (status " << std::hex << status << ")";
        return found;
    }
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    for (ULONG_PTR i = 0; i < table->count; ++i) {
        if (table->entries[i].process_id == process_id) found.push_back(table->entries[i]);
    }
    return found;
}

// The object type numbers of files and of processes on this host.
std::pair<USHORT, USHORT> CountedTypes() {
    static const std::pair<USHORT, USHORT> types = [] {
        const platform::WinHandle file(CreateFileW(L"NUL", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        const platform::WinHandle process(OpenProcess(SYNCHRONIZE, FALSE, GetCurrentProcessId()));
        std::pair<USHORT, USHORT> found{0xFFFF, 0xFFFF};
        for (const HandleEntry& entry : AllHandlesOf(GetCurrentProcessId())) {
            if (entry.handle == reinterpret_cast<ULONG_PTR>(file.get())) found.first = entry.type;
            if (entry.handle == reinterpret_cast<ULONG_PTR>(process.get())) found.second = entry.type;
        }
        EXPECT_NE(found.first, 0xFFFF) << "the type of file handles is unknown";
        EXPECT_NE(found.second, 0xFFFF) << "the type of process handles is unknown";
        return found;
    }();
    return types;
}

std::vector<HandleEntry> HandlesOf(DWORD process_id) {
    const auto [file, process] = CountedTypes();
    std::vector<HandleEntry> counted;
    for (const HandleEntry& entry : AllHandlesOf(process_id)) {
        if (entry.type == file || entry.type == process) counted.push_back(entry);
    }
    return counted;
}

}  // namespace

std::size_t OpenDescriptorCount() { return HandlesOf(GetCurrentProcessId()).size(); }

std::set<std::string> OpenDescriptorsOf(int pid) {
    std::set<std::string> found;
    for (const HandleEntry& entry : HandlesOf(static_cast<DWORD>(pid))) {
        found.insert(std::to_string(entry.handle) + " -> type " + std::to_string(entry.type));
    }
    return found;
}

}  // namespace testsupport
