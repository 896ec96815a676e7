// Test parent for handle passing the Windows way:
//   ombrex-spawn-with-handle ARCHIVE VALUE_FILE HELPER [ARGUMENTS...]
// opens ARCHIVE as an inheritable handle, writes the handle's value in
// decimal to VALUE_FILE, starts HELPER with its standard streams and that
// handle inherited, waits for it and exits with its exit code. The tests
// driving the helper read VALUE_FILE to put the value into an OpenRequest.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

// Quotes one argument the way the C runtime's command-line parser undoes.
std::wstring Quote(const std::wstring& argument) {
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') backslashes = backslashes * 2 + 1;
        out.append(backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

HANDLE InheritableCopy(DWORD which) {
    HANDLE copy = nullptr;
    const HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, GetStdHandle(which), self, &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) return nullptr;
    return copy;
}

int Fail(const char* what) {
    std::fprintf(stderr, "spawn-with-handle: %s failed (%lu)\n", what, GetLastError());
    return 125;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) {
        std::fputs("usage: ombrex-spawn-with-handle ARCHIVE VALUE_FILE HELPER [ARGUMENTS...]\n", stderr);
        return 125;
    }
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE archive = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       &inheritable, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (archive == INVALID_HANDLE_VALUE) return Fail("opening the archive");

    std::FILE* value = _wfopen(argv[2], L"w");
    if (value == nullptr) return Fail("creating the value file");
    std::fprintf(value, "%llu\n", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(archive)));
    if (std::fclose(value) != 0) return Fail("writing the value file");

    std::wstring command_line = Quote(argv[3]);
    for (int i = 4; i < argc; ++i) command_line += L" " + Quote(argv[i]);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = InheritableCopy(STD_INPUT_HANDLE);
    startup.hStdOutput = InheritableCopy(STD_OUTPUT_HANDLE);
    startup.hStdError = InheritableCopy(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(argv[3], command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return Fail("starting the helper");
    }
    // The helper holds its own copies now; the parent keeps none, so the
    // pipes end when the helper ends.
    CloseHandle(archive);
    for (const HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
        if (handle != nullptr) CloseHandle(handle);
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 125;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}
