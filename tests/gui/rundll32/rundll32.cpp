// A stand-in rundll32.exe for tests: appends its whole command line, as
// UTF-8, as one line to the file named by ZFEN_RUNDLL32_LOG, and exits 0.
// Only tests set that variable; the editor reads no environment.
#include <windows.h>

#include <string>

int main()
{
    wchar_t log_path[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"ZFEN_RUNDLL32_LOG", log_path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 0;

    const wchar_t *line = GetCommandLineW();
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return 0;
    std::string text(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line, -1, text.data(), bytes, nullptr, nullptr);
    text.back() = '\n'; // in place of the terminating NUL

    // Appending keeps lines whole even when several starts overlap.
    HANDLE file = CreateFileW(log_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return 0;
}
