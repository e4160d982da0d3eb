// The browser's user data folders in the temporary folder: making one with
// the marker that proves it ours, deleting it (the marker last, so a folder
// half deleted is still known for ours), and sweeping what earlier editors
// left. The runtime's files may lie deeper than MAX_PATH, so trees are
// deleted through "\\?\" paths.
#include "gui_host_win32.h"

#include "zfen_product.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

const wchar_t k_wv2_marker_name[] = L"" ZFEN_PLUGIN_ID "-editor.lock";
const char k_wv2_marker_text[] = ZFEN_VENDOR " " ZFEN_NAME " editor: the browser's user data\r\n";

namespace {

// The sweep's bounds: folders looked at; time after which it starts no other
// folder, and after which it stops inside one (a browser's cache can be
// large). What it has no time for waits for the next start; a folder left
// half deleted still has its marker.
constexpr int k_sweep_max_folders = 64;
constexpr ULONGLONG k_sweep_ms = 30;
constexpr ULONGLONG k_sweep_stop_ms = 250;
// Names taken in a row whose folder already exists (someone else's, or one
// of ours that lost its temporary file) before the editor gives up.
constexpr int k_name_tries = 8;
// The longest path the system takes, in characters.
constexpr size_t k_long_path = 32768;
constexpr ULONGLONG k_no_deadline = ~0ull;

HRESULT last_error_result() { return HRESULT_FROM_WIN32(GetLastError()); }

// Deletes what the folder at path[0..len) holds except `keep`, depth first;
// `path` (k_long_path characters) is as it was on return. False if anything
// stayed or time ran out. Links are removed, never followed.
bool empty_folder(wchar_t *path, size_t len, const wchar_t *keep, ULONGLONG deadline)
{
    if (len + 3 >= k_long_path)
        return false;
    std::wcscpy(path + len, L"\\*");
    WIN32_FIND_DATAW fd;
    const HANDLE found = FindFirstFileW(path, &fd);
    path[len] = 0;
    if (found == INVALID_HANDLE_VALUE)
        return false;
    bool all = true;
    do {
        const wchar_t *name = fd.cFileName;
        if (!std::wcscmp(name, L".") || !std::wcscmp(name, L"..") || (keep && !_wcsicmp(name, keep)))
            continue;
        const size_t n = std::wcslen(name);
        if (GetTickCount64() > deadline || len + 1 + n >= k_long_path) {
            all = false;
            break;
        }
        path[len] = L'\\';
        std::wcscpy(path + len + 1, name);
        const DWORD a = fd.dwFileAttributes;
        if (a & FILE_ATTRIBUTE_READONLY)
            SetFileAttributesW(path, a & ~FILE_ATTRIBUTE_READONLY);
        bool gone;
        if ((a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT))
            gone = empty_folder(path, len + 1 + n, nullptr, deadline) && RemoveDirectoryW(path);
        else
            gone = (a & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path) : DeleteFileW(path);
        all = all && gone;
        path[len] = 0;
    } while (FindNextFileW(found, &fd));
    FindClose(found);
    return all;
}

// With the marker held: empties the folder, then lets the marker go and
// deletes it, the folder and the temporary file that kept its name. When
// something stays, the marker stays with it.
bool remove_held(const wchar_t *folder, HANDLE marker, ULONGLONG deadline)
{
    wchar_t *path = static_cast<wchar_t *>(std::malloc(k_long_path * sizeof(wchar_t)));
    bool gone = false;
    if (path) {
        // A UNC temporary folder keeps its form; others go long.
        std::wcscpy(path, folder[0] == L'\\' ? L"" : L"\\\\?\\");
        std::wcsncat(path, folder, MAX_PATH + 1);
        const size_t len = std::wcslen(path);
        gone = empty_folder(path, len, k_wv2_marker_name, deadline);
        if (marker)
            CloseHandle(marker);
        marker = nullptr;
        if (gone) {
            path[len] = L'\\';
            std::wcscpy(path + len + 1, k_wv2_marker_name);
            DeleteFileW(path);
            path[len] = 0;
            gone = RemoveDirectoryW(path);
        }
        if (gone) {
            std::wcscpy(path + len, L".tmp");
            DeleteFileW(path);
        }
        std::free(path);
    }
    if (marker)
        CloseHandle(marker);
    return gone;
}

// "did" and one to four hexadecimal digits: a name GetTempFileNameW gives.
bool is_temp_name(const wchar_t *name)
{
    if (_wcsnicmp(name, L"did", 3) != 0)
        return false;
    size_t digits = 0;
    for (const wchar_t *c = name + 3; *c; ++c, ++digits)
        if (!std::iswxdigit(*c))
            return false;
    return digits >= 1 && digits <= 4;
}

// Takes a folder whose marker nobody holds and whose text is ours, and
// deletes it. Anything else is left as it is.
bool sweep_one(const wchar_t *folder, ULONGLONG deadline)
{
    wchar_t marker_path[MAX_PATH + 40];
    std::wcscpy(marker_path, folder);
    std::wcscat(marker_path, L"\\");
    std::wcscat(marker_path, k_wv2_marker_name);
    const HANDLE marker =
        CreateFileW(marker_path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker == INVALID_HANDLE_VALUE)
        return false; // not ours, or in use
    char text[sizeof k_wv2_marker_text + 1];
    DWORD got = 0;
    if (!ReadFile(marker, text, sizeof text, &got, nullptr) || got != sizeof k_wv2_marker_text - 1 ||
        std::memcmp(text, k_wv2_marker_text, got) != 0) {
        CloseHandle(marker);
        return false;
    }
    return remove_held(folder, marker, deadline);
}

} // namespace

int wv2_user_data_sweep(void)
{
    wchar_t dir[MAX_PATH + 2];
    const DWORD n = GetTempPathW(MAX_PATH + 2, dir);
    if (n == 0 || n + 8 >= MAX_PATH)
        return 0;
    const ULONGLONG start = GetTickCount64();
    // The candidates first: the folder changes as they go.
    wchar_t names[k_sweep_max_folders][8];
    int count = 0;
    std::wcscpy(dir + n, L"did*");
    WIN32_FIND_DATAW fd;
    const HANDLE found = FindFirstFileW(dir, &fd);
    dir[n] = 0;
    if (found == INVALID_HANDLE_VALUE)
        return 0;
    do {
        const DWORD a = fd.dwFileAttributes;
        if ((a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT) && is_temp_name(fd.cFileName))
            std::wcscpy(names[count++], fd.cFileName);
    } while (count < k_sweep_max_folders && FindNextFileW(found, &fd));
    FindClose(found);
    int removed = 0;
    for (int i = 0; i < count && GetTickCount64() < start + k_sweep_ms; ++i) {
        std::wcscpy(dir + n, names[i]);
        removed += sweep_one(dir, start + k_sweep_stop_ms) ? 1 : 0;
    }
    return removed;
}

HRESULT wv2_user_data_make(Wv2UserData *d)
{
    d->folder[0] = 0;
    d->marker = nullptr;
    wchar_t dir[MAX_PATH + 2];
    const DWORD n = GetTempPathW(MAX_PATH + 2, dir);
    if (n == 0 || n >= MAX_PATH + 2)
        return n ? E_NOT_SUFFICIENT_BUFFER : last_error_result();
    wchar_t taken[k_name_tries][MAX_PATH + 2];
    HRESULT hr = HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
    int tries = 0;
    while (tries < k_name_tries) {
        wchar_t *name = taken[tries];
        if (!GetTempFileNameW(dir, L"dide", 0, name)) {
            hr = last_error_result();
            break;
        }
        ++tries;
        const size_t len = std::wcslen(name); // "...\did<hex>.tmp"
        std::wmemcpy(d->folder, name, len - 4);
        d->folder[len - 4] = 0;
        if (CreateDirectoryW(d->folder, nullptr)) {
            hr = S_OK;
            --tries; // this name stays taken
            break;
        }
        hr = last_error_result();
        if (hr != HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS))
            break;
    }
    // Names given up; held while trying so that each try got a new one.
    for (int i = 0; i < tries; ++i)
        DeleteFileW(taken[i]);
    if (FAILED(hr)) {
        d->folder[0] = 0;
        return hr;
    }
    wchar_t marker_path[MAX_PATH + 40];
    std::wcscpy(marker_path, d->folder);
    std::wcscat(marker_path, L"\\");
    std::wcscat(marker_path, k_wv2_marker_name);
    d->marker =
        CreateFileW(marker_path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (d->marker == INVALID_HANDLE_VALUE ||
        !WriteFile(d->marker, k_wv2_marker_text, sizeof k_wv2_marker_text - 1, &written, nullptr)) {
        hr = last_error_result();
        if (d->marker == INVALID_HANDLE_VALUE)
            d->marker = nullptr;
        wv2_user_data_remove(d);
        return hr;
    }
    return S_OK;
}

bool wv2_user_data_remove(Wv2UserData *d)
{
    if (!d->folder[0])
        return true;
    const bool gone = remove_held(d->folder, d->marker, k_no_deadline);
    d->folder[0] = 0;
    d->marker = nullptr;
    return gone;
}

void wv2_user_data_leave(Wv2UserData *d)
{
    if (d->marker)
        CloseHandle(d->marker);
    d->folder[0] = 0;
    d->marker = nullptr;
}
