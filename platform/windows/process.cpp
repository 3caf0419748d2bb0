#include "platform/process.h"

#include <windows.h>
// windows.h first: shellapi.h needs its types.
#include <shellapi.h>

#include "platform/wide_text.h"

namespace qs {

namespace {

// One argument as CommandLineToArgvW reads it back: quotes only when needed, and backslashes
// doubled only where they precede a quote.
void AppendArgument(std::wstring& commandLine, const std::wstring& argument) {
    commandLine.push_back(L' ');
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        commandLine += argument;
        return;
    }
    commandLine.push_back(L'"');
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            commandLine.append(backslashes * 2 + 1, L'\\');
        else
            commandLine.append(backslashes, L'\\');
        backslashes = 0;
        commandLine.push_back(c);
    }
    commandLine.append(backslashes * 2, L'\\');
    commandLine.push_back(L'"');
}

int LastErrorCode() {
    const DWORD error = GetLastError();
    return error ? static_cast<int>(error) : ERROR_GEN_FAILURE;
}

}  // namespace

bool StartDetachedProcess(const std::filesystem::path& executable,
                          const std::vector<std::string>& arguments,
                          const std::filesystem::path& workingDirectory, int* errorNumber) {
    auto fail = [&](int error) {
        if (errorNumber)
            *errorNumber = error;
        return false;
    };
    // The executable path is quoted: the client's own folder name has a blank in it.
    std::wstring commandLine = L"\"" + executable.native() + L"\"";
    try {
        for (const std::string& argument : arguments)
            AppendArgument(commandLine, Utf8ToWide(argument));
    } catch (const std::exception&) {
        return fail(ERROR_NO_UNICODE_TRANSLATION);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(executable.c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        DETACHED_PROCESS, nullptr,
                        workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup,
                        &process))
        return fail(LastErrorCode());
    // The launcher neither waits for the program nor keeps track of it.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

bool StartInstaller(const std::filesystem::path& installer,
                    const std::vector<std::string>& arguments) {
    std::wstring parameters;
    try {
        for (const std::string& argument : arguments) {
            if (!parameters.empty())
                parameters.push_back(L' ');
            parameters += Utf8ToWide(argument);
        }
    } catch (const std::exception&) {
        return false;
    }
    // The shell may hand the start to extensions that need COM on this (worker) thread.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW start{};
    start.cbSize = sizeof start;
    start.fMask = SEE_MASK_NOCLOSEPROCESS;
    start.hwnd = nullptr;
    start.lpVerb = L"open";
    start.lpFile = installer.c_str();
    start.lpParameters = parameters.c_str();
    start.lpDirectory = nullptr;
    start.nShow = SW_SHOWNORMAL;
    const bool started = ShellExecuteExW(&start) != FALSE;
    // Not waited on; the handle is only closed so it does not leak.
    if (started && start.hProcess)
        CloseHandle(start.hProcess);
    if (SUCCEEDED(com))
        CoUninitialize();
    return started;
}

bool OpenWithDesktop(const std::string& target) {
    std::wstring wide;
    try {
        wide = Utf8ToWide(target);
    } catch (const std::exception&) {
        return false;
    }
    HINSTANCE result =
        ShellExecuteW(nullptr, L"open", wide.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace qs
