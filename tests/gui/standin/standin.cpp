// A stand-in for WebView2Loader.dll and the runtime behind it, for tests
// only: the objects the editor talks to, behaving as the runtime documents
// (results arrive later from the creating thread's message loop, handlers are
// held until Close, strings are CoTaskMemAlloc copies), plus steering exports
// that let a test play the page and read back what the editor did.
#include "webview2.h"

#include "standin_api.h"

#include <objbase.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwctype>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

// ---- shared state ----------------------------------------------------------------------

enum SettingId : int {
    S_SCRIPT,
    S_WEB_MESSAGE,
    S_SCRIPT_DIALOGS,
    S_STATUS_BAR,
    S_DEV_TOOLS,
    S_CONTEXT_MENUS,
    S_HOST_OBJECTS,
    S_ZOOM_CONTROL,
    S_ERROR_PAGE,
    S_ACCELERATOR_KEYS,
    S_PASSWORD_AUTOSAVE,
    S_GENERAL_AUTOFILL,
    S_PINCH_ZOOM,
    S_SWIPE_NAVIGATION,
    S_COUNT
};

struct SettingInfo {
    const char *name;
    BOOL initial;   // the runtime's documented default
    unsigned level; // the SettingsN interface that brings it
};

const SettingInfo k_settings[S_COUNT] = {
    {"IsScriptEnabled", TRUE, 1},
    {"IsWebMessageEnabled", TRUE, 1},
    {"AreDefaultScriptDialogsEnabled", TRUE, 1},
    {"IsStatusBarEnabled", TRUE, 1},
    {"AreDevToolsEnabled", TRUE, 1},
    {"AreDefaultContextMenusEnabled", TRUE, 1},
    {"AreHostObjectsAllowed", TRUE, 1},
    {"IsZoomControlEnabled", TRUE, 1},
    {"IsBuiltInErrorPageEnabled", TRUE, 1},
    {"AreBrowserAcceleratorKeysEnabled", TRUE, 3},
    {"IsPasswordAutosaveEnabled", FALSE, 4},
    {"IsGeneralAutofillEnabled", TRUE, 4},
    {"IsPinchZoomEnabled", TRUE, 5},
    {"IsSwipeNavigationEnabled", TRUE, 6},
};

// A text the editor passed, or none (a null pointer).
struct OptText {
    bool present = false;
    std::wstring text;
    void set(const wchar_t *s)
    {
        present = s != nullptr;
        text = s ? s : L"";
    }
};

struct SettingsCall {
    std::string name;
    BOOL value;
};

struct WebView;

// Everything tests read from other threads; guarded by lock.
struct State {
    std::mutex lock;
    int fail_step = STANDIN_FAIL_NONE;
    HRESULT fail_code = E_FAIL;
    unsigned absent = 0;

    int environment_calls = 0;
    OptText browser_folder, user_data_folder, browser_arguments, target_version;

    std::vector<std::wstring> navigations, posted;
    std::vector<SettingsCall> settings_calls;
    BOOL settings_now[S_COUNT] = {};
    std::vector<std::string> misuse;

    HWND view_window = nullptr;
    RECT bounds = {};
    bool bounds_set = false;
    int visible = -1, focus_count = 0, focus_reason = -1, external_drop = -1, closed = -1;
    OptText page;

    // The webview steering deliveries go to, and the window of its thread that runs them.
    WebView *current_view = nullptr;
    HWND current_queue = nullptr;
    DWORD gui_thread = 0;
};

State g;
std::atomic<long> g_live{0};     // stand-in objects alive
std::atomic<long> g_handlers{0}; // references to the editor's handlers held here
std::atomic<long> g_running{0};  // browser processes holding their folder's file
HINSTANCE g_module = nullptr;

const wchar_t k_queue_class[] = L"ZfenWv2StandinQueue";
const wchar_t k_view_class[] = L"ZfenWv2StandinView";
const UINT k_run_job = WM_APP + 0x57;
const UINT k_browser_exited = WM_APP + 0x58; // to an environment's queue: its browser processes ended

void note_misuse(const std::string &what)
{
    std::lock_guard<std::mutex> hold(g.lock);
    g.misuse.push_back(what);
}

bool failing(int step, HRESULT *code)
{
    std::lock_guard<std::mutex> hold(g.lock);
    if (g.fail_step != step)
        return false;
    *code = g.fail_code;
    return true;
}

bool is_absent(unsigned bit)
{
    std::lock_guard<std::mutex> hold(g.lock);
    return (g.absent & bit) != 0;
}

LPWSTR co_copy(const std::wstring &s)
{
    size_t bytes = (s.size() + 1) * sizeof(wchar_t);
    auto *p = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (p)
        std::memcpy(p, s.c_str(), bytes);
    return p;
}

std::wstring json_quote(const std::wstring &s)
{
    std::wstring out = L"\"";
    for (wchar_t c : s) {
        if (c == L'"' || c == L'\\') {
            out += L'\\';
            out += c;
        } else if (c < 0x20) {
            wchar_t esc[8];
            wsprintfW(esc, L"\\u%04x", static_cast<unsigned>(c));
            out += esc;
        } else {
            out += c;
        }
    }
    return out + L"\"";
}

int copy_out(const std::wstring &s, wchar_t *buffer, int capacity)
{
    if (buffer && capacity > 0) {
        size_t n = std::min(s.size(), static_cast<size_t>(capacity - 1));
        std::memcpy(buffer, s.data(), n * sizeof(wchar_t));
        buffer[n] = L'\0';
    }
    return static_cast<int>(s.size());
}

int copy_out(const std::string &s, char *buffer, int capacity)
{
    if (buffer && capacity > 0) {
        size_t n = std::min(s.size(), static_cast<size_t>(capacity - 1));
        std::memcpy(buffer, s.data(), n);
        buffer[n] = '\0';
    }
    return static_cast<int>(s.size());
}

int copy_opt(const OptText &t, wchar_t *buffer, int capacity)
{
    if (!t.present) {
        if (buffer && capacity > 0)
            buffer[0] = L'\0';
        return -1;
    }
    return copy_out(t.text, buffer, capacity);
}

// The file a "file:" URI names, or empty for another scheme.
std::wstring file_of_uri(const std::wstring &uri)
{
    if (uri.size() < 5 || _wcsnicmp(uri.c_str(), L"file:", 5) != 0)
        return {};
    std::wstring rest = uri.substr(5);
    std::wstring path;
    if (rest.rfind(L"///", 0) == 0) {
        path = rest.substr(3);
    } else if (rest.rfind(L"//", 0) == 0) {
        path = L"\\\\" + rest.substr(2); // file://server/share
    } else {
        return {};
    }
    // Percent escapes are UTF-8 bytes; decode to bytes first, then to UTF-16.
    std::string bytes;
    for (size_t i = 0; i < path.size(); ++i) {
        wchar_t c = path[i];
        if (c == L'%' && i + 2 < path.size() && iswxdigit(path[i + 1]) && iswxdigit(path[i + 2])) {
            wchar_t hex[3] = {path[i + 1], path[i + 2], 0};
            bytes += static_cast<char>(wcstoul(hex, nullptr, 16));
            i += 2;
            continue;
        }
        if (c == L'/')
            c = L'\\';
        char utf8[4];
        int n = WideCharToMultiByte(CP_UTF8, 0, &c, 1, utf8, 4, nullptr, nullptr);
        bytes.append(utf8, static_cast<size_t>(std::max(n, 0)));
    }
    int n =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), out.data(), n);
    return out;
}

bool is_file(const std::wstring &path)
{
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates a folder and its parents; the runtime does, and the editor removes it later.
HRESULT make_folder_tree(const std::wstring &path)
{
    for (size_t i = 1; i < path.size(); ++i) {
        if ((path[i] == L'\\' || path[i] == L'/') && path[i - 1] != L':' && path[i - 1] != L'\\')
            CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
    }
    if (!CreateDirectoryW(path.c_str(), nullptr)) {
        DWORD err = GetLastError();
        if (err != ERROR_ALREADY_EXISTS)
            return HRESULT_FROM_WIN32(err);
    }
    DWORD a = GetFileAttributesW(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES)
        return HRESULT_FROM_WIN32(GetLastError());
    if (!(a & FILE_ATTRIBUTE_DIRECTORY))
        return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
    return S_OK;
}

// ---- the editor's objects, called through their tables ---------------------------------

using AnyHandler = Wv2HandlerTable<void *, void *>;

void handler_add_ref(void *h)
{
    wv2_table_of<AnyHandler>(h)->AddRef(h);
    ++g_handlers;
}
void handler_release(void *h)
{
    --g_handlers;
    wv2_table_of<AnyHandler>(h)->Release(h);
}

// ---- slots the editor should never call ---------------------------------------------------

enum TableId { T_ENVIRONMENT, T_CONTROLLER, T_WEBVIEW, T_SETTINGS, T_MESSAGE_ARGS, T_NAVIGATION_ARGS, T_WINDOW_ARGS };
const char *const k_table_names[] = {"environment",  "controller",      "webview",        "settings",
                                     "message args", "navigation args", "new window args"};

// Every argument goes in a register or on the caller's stack (x64), so one
// signature is safe to answer any slot.
template <int T, size_t N> HRESULT STDMETHODCALLTYPE slot_unused(void *)
{
    note_misuse(std::string("unimplemented slot ") + std::to_string(N) + " of the " + k_table_names[T]);
    return E_NOTIMPL;
}

template <int T, typename Table, size_t... I> void fill_unused(Table *table, std::index_sequence<I...>)
{
    static_assert(sizeof(Table) == sizeof...(I) * sizeof(void *), "whole table");
    void *fns[] = {reinterpret_cast<void *>(&slot_unused<T, I>)...};
    std::memcpy(static_cast<void *>(table), fns, sizeof fns);
}

template <int T, typename Table> Table table_of_unused()
{
    Table t;
    fill_unused<T>(&t, std::make_index_sequence<sizeof(Table) / sizeof(void *)>());
    return t;
}

// ---- object plumbing ------------------------------------------------------------------------

struct Counted {
    std::atomic<ULONG> refs{1};
    DWORD thread = GetCurrentThreadId();
    Counted() { ++g_live; }
    Counted(const Counted &) = delete;
    Counted &operator=(const Counted &) = delete;
    ~Counted() { --g_live; }
};

bool on_thread(const Counted *o, const char *what)
{
    if (GetCurrentThreadId() == o->thread)
        return true;
    note_misuse(std::string("wrong thread: ") + what);
    return false;
}

template <typename Obj, typename Iface> Obj *self_of(Iface *iface) { return static_cast<Obj *>(iface); }

template <typename Obj, typename Iface> ULONG STDMETHODCALLTYPE add_ref(Iface *iface)
{
    return ++self_of<Obj>(iface)->refs;
}
template <typename Obj, typename Iface> ULONG STDMETHODCALLTYPE release(Iface *iface)
{
    Obj *o = self_of<Obj>(iface);
    ULONG left = --o->refs;
    if (left == 0)
        delete o;
    return left;
}

bool same_iid(const IID *a, const IID &b) { return std::memcmp(a, &b, sizeof(IID)) == 0; }

// Runs a job on the thread that owns the queue window.
bool post_job(HWND queue, std::function<void()> job)
{
    auto *heap = new std::function<void()>(std::move(job));
    if (queue && PostMessageW(queue, k_run_job, 0, reinterpret_cast<LPARAM>(heap)))
        return true;
    delete heap;
    return false;
}

struct Environment;
void raise_browser_exited(Environment *e);

LRESULT CALLBACK queue_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == k_browser_exited) {
        if (auto *e = reinterpret_cast<Environment *>(GetWindowLongPtrW(window, GWLP_USERDATA)))
            raise_browser_exited(e);
        return 0;
    }
    if (message == k_run_job) {
        std::unique_ptr<std::function<void()>> job(reinterpret_cast<std::function<void()> *>(lparam));
        (*job)();
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

LRESULT CALLBACK view_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        FillRect(dc, &ps.rcPaint, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        EndPaint(window, &ps);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

bool register_classes()
{
    for (auto [name, proc] : {std::pair{k_queue_class, &queue_proc}, std::pair{k_view_class, &view_proc}}) {
        WNDCLASSW wc = {};
        if (GetClassInfoW(g_module, name, &wc))
            continue;
        wc.lpfnWndProc = proc;
        wc.hInstance = g_module;
        wc.lpszClassName = name;
        wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
        if (!RegisterClassW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
            return false;
    }
    return true;
}

// ---- the bridge: posted texts out to a loopback peer, its lines in as the page's ------------

// One connection at a time. The reader thread owns closesocket; closing only
// shuts the socket down, so the reader never meets a reused handle.
struct Bridge {
    std::mutex lock;
    SOCKET sock = INVALID_SOCKET;
    HWND queue = nullptr; // the environment it closes with
};
Bridge g_bridge;

std::string utf8_of(const std::wstring &s)
{
    if (s.empty())
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring wide_of(const std::string &s)
{
    if (s.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
    return out;
}

void bridge_close()
{
    std::lock_guard<std::mutex> hold(g_bridge.lock);
    if (g_bridge.sock != INVALID_SOCKET)
        shutdown(g_bridge.sock, SD_BOTH);
    g_bridge.sock = INVALID_SOCKET;
    g_bridge.queue = nullptr;
}

void bridge_send(const std::wstring &text)
{
    std::lock_guard<std::mutex> hold(g_bridge.lock);
    if (g_bridge.sock == INVALID_SOCKET)
        return;
    const std::string line = utf8_of(text) + "\n";
    for (size_t sent = 0; sent < line.size();) {
        int n = send(g_bridge.sock, line.data() + sent, static_cast<int>(line.size() - sent), 0);
        if (n <= 0) {
            shutdown(g_bridge.sock, SD_BOTH);
            g_bridge.sock = INVALID_SOCKET;
            return;
        }
        sent += static_cast<size_t>(n);
    }
}

HRESULT deliver_message(const std::wstring &json, const std::wstring *text);

// Each line from the peer is posted by the page, in order, on the GUI thread.
DWORD WINAPI bridge_reader(LPVOID param)
{
    const SOCKET sock = static_cast<SOCKET>(reinterpret_cast<UINT_PTR>(param));
    std::string pending;
    char buffer[4096];
    for (;;) {
        int n = recv(sock, buffer, static_cast<int>(sizeof buffer), 0);
        if (n <= 0)
            break;
        pending.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const std::wstring text = wide_of(line);
            deliver_message(json_quote(text), &text);
        }
    }
    {
        std::lock_guard<std::mutex> hold(g_bridge.lock);
        if (g_bridge.sock == sock) {
            g_bridge.sock = INVALID_SOCKET;
            g_bridge.queue = nullptr;
        }
    }
    closesocket(sock);
    WSACleanup();
    return 0;
}

// The thread holds the module, so a test may free the DLL while it finishes.
DWORD WINAPI bridge_thread(LPVOID param)
{
    DWORD r = bridge_reader(param);
    FreeLibraryAndExitThread(g_module, r);
}

HRESULT bridge_open(int port)
{
    HWND queue;
    {
        std::lock_guard<std::mutex> hold(g.lock);
        queue = g.current_queue;
    }
    if (!queue)
        return STANDIN_E_NO_VIEW;
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return E_FAIL;
    SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (sock == INVALID_SOCKET) {
        WSACleanup();
        return HRESULT_FROM_WIN32(static_cast<DWORD>(WSAGetLastError()));
    }
    // Connects without blocking, waiting at most STANDIN_WAIT_MS.
    u_long nonblocking = 1;
    ioctlsocket(sock, static_cast<long>(FIONBIO), &nonblocking);
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<u_short>(port));
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    HRESULT hr = S_OK;
    if (connect(sock, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) != 0) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            hr = HRESULT_FROM_WIN32(static_cast<DWORD>(WSAGetLastError()));
        } else {
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(sock, &writable);
            FD_SET(sock, &failed);
            timeval wait = {STANDIN_WAIT_MS / 1000, (STANDIN_WAIT_MS % 1000) * 1000};
            int ready = select(0, nullptr, &writable, &failed, &wait);
            if (ready == 0)
                hr = STANDIN_E_TIMEOUT;
            else if (ready < 0 || FD_ISSET(sock, &failed))
                hr = HRESULT_FROM_WIN32(ERROR_CONNECTION_REFUSED);
        }
    }
    nonblocking = 0;
    ioctlsocket(sock, static_cast<long>(FIONBIO), &nonblocking);
    if (SUCCEEDED(hr)) {
        BOOL nodelay = TRUE;
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&nodelay), sizeof nodelay);
        HMODULE held = nullptr;
        if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&bridge_thread),
                                &held))
            hr = E_FAIL;
    }
    if (FAILED(hr)) {
        closesocket(sock);
        WSACleanup();
        return hr;
    }
    {
        std::lock_guard<std::mutex> hold(g_bridge.lock);
        g_bridge.sock = sock;
        g_bridge.queue = queue;
    }
    HANDLE reader =
        CreateThread(nullptr, 0, bridge_thread, reinterpret_cast<LPVOID>(static_cast<UINT_PTR>(sock)), 0, nullptr);
    if (!reader) {
        bridge_close();
        closesocket(sock);
        WSACleanup();
        FreeLibrary(g_module);
        return HRESULT_FROM_WIN32(GetLastError());
    }
    CloseHandle(reader);
    return S_OK;
}

// ---- the browser processes ---------------------------------------------------------------------

// What the runtime's processes hold in a user data folder while they run.
struct BrowserProcesses {
    HANDLE held;
    HWND queue; // the environment's: told when they have ended (it may be gone by then)
};

BrowserProcesses *browser_start(const std::wstring &folder, HWND queue)
{
    HANDLE held = CreateFileW((folder + L"\\EBWebView\\lockfile").c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        note_misuse("the browser could not hold its user data folder");
        return nullptr;
    }
    ++g_running;
    return new BrowserProcesses{held, queue};
}

// They end a moment later, on their own, whatever the editor's thread does.
DWORD WINAPI browser_exit_thread(LPVOID param)
{
    auto *b = static_cast<BrowserProcesses *>(param);
    Sleep(STANDIN_EXIT_DELAY_MS);
    CloseHandle(b->held);
    --g_running;
    PostMessageW(b->queue, k_browser_exited, 0, 0);
    delete b;
    FreeLibraryAndExitThread(g_module, 0);
}

// The thread holds the module, so a test may free the DLL meanwhile.
void browser_end(BrowserProcesses *b)
{
    HMODULE held = nullptr;
    if (b && GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&browser_exit_thread),
                                &held))
        CloseHandle(CreateThread(nullptr, 0, browser_exit_thread, b, 0, nullptr));
}

// ---- environment ---------------------------------------------------------------------------

struct Environment : ICoreWebView2Environment, Counted {
    HWND queue = nullptr;                // message-only window on the creating thread: runs the deliveries
    BrowserProcesses *browser = nullptr; // while they run
    int controllers = 0;                 // open ones
    std::vector<std::pair<void *, int64_t>> exit_handlers;
    int64_t next_token = 1;
    Environment();
    ~Environment();
    // Processes with no WebView left end.
    void idle()
    {
        if (controllers == 0)
            browser_end(std::exchange(browser, nullptr));
    }
};

// ---- settings ------------------------------------------------------------------------------

struct Settings : ICoreWebView2Settings, Counted {
    BOOL values[S_COUNT];
    bool closed = false;
    Settings();
};

unsigned settings_absent_bit(unsigned level)
{
    switch (level) {
    case 3: return STANDIN_ABSENT_SETTINGS3;
    case 4: return STANDIN_ABSENT_SETTINGS4;
    case 5: return STANDIN_ABSENT_SETTINGS5;
    case 6: return STANDIN_ABSENT_SETTINGS6;
    default: return 0;
    }
}

HRESULT STDMETHODCALLTYPE settings_query(ICoreWebView2Settings *iface, const IID *riid, void **object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    const IID *levels[] = {&IID_IUnknown,
                           &IID_ICoreWebView2Settings,
                           &IID_ICoreWebView2Settings2,
                           &IID_ICoreWebView2Settings3,
                           &IID_ICoreWebView2Settings4,
                           &IID_ICoreWebView2Settings5,
                           &IID_ICoreWebView2Settings6};
    for (unsigned level = 0; level < 7; ++level) {
        if (!same_iid(riid, *levels[level]))
            continue;
        if (settings_absent_bit(level) && is_absent(settings_absent_bit(level)))
            return E_NOINTERFACE;
        ++self_of<Settings>(iface)->refs;
        *object = iface;
        return S_OK;
    }
    return E_NOINTERFACE;
}

// Usable only through an interface the runtime has; otherwise noted.
bool setting_reachable(int id)
{
    unsigned level = k_settings[id].level;
    for (unsigned l = 3; l <= level; ++l)
        if (is_absent(settings_absent_bit(l)))
            return false;
    return true;
}

template <int Id> HRESULT STDMETHODCALLTYPE settings_get(ICoreWebView2Settings *iface, BOOL *value)
{
    Settings *s = self_of<Settings>(iface);
    if (!on_thread(s, "settings get"))
        return RPC_E_WRONG_THREAD;
    if (!setting_reachable(Id)) {
        note_misuse(std::string("absent interface: get_") + k_settings[Id].name);
        return E_NOTIMPL;
    }
    if (!value)
        return E_POINTER;
    if (s->closed) {
        note_misuse(std::string("after Close: get_") + k_settings[Id].name);
        return E_FAIL;
    }
    *value = s->values[Id];
    return S_OK;
}

template <int Id> HRESULT STDMETHODCALLTYPE settings_put(ICoreWebView2Settings *iface, BOOL value)
{
    Settings *s = self_of<Settings>(iface);
    if (!on_thread(s, "settings put"))
        return RPC_E_WRONG_THREAD;
    bool reachable = setting_reachable(Id);
    {
        std::lock_guard<std::mutex> hold(g.lock);
        g.settings_calls.push_back({std::string(reachable ? "" : "!") + k_settings[Id].name, value});
    }
    if (!reachable) {
        note_misuse(std::string("absent interface: put_") + k_settings[Id].name);
        return E_NOTIMPL;
    }
    if (s->closed) {
        note_misuse(std::string("after Close: put_") + k_settings[Id].name);
        return E_FAIL;
    }
    HRESULT code;
    if (Id == S_SCRIPT && failing(STANDIN_FAIL_SCRIPT_SETTING, &code))
        return code;
    s->values[Id] = value ? TRUE : FALSE;
    std::lock_guard<std::mutex> hold(g.lock);
    g.settings_now[Id] = s->values[Id];
    return S_OK;
}

template <typename Table> void set_slot(Table &t, size_t index, void *fn)
{
    std::memcpy(reinterpret_cast<char *>(&t) + index * sizeof(void *), &fn, sizeof fn);
}

// get/put pairs follow IUnknown in id order, with the two UserAgent slots before Settings3.
template <size_t... I> void set_settings_slots(ICoreWebView2SettingsVtbl &t, std::index_sequence<I...>)
{
    ((set_slot(t, 3 + 2 * I + (I >= S_ACCELERATOR_KEYS ? 2 : 0), reinterpret_cast<void *>(&settings_get<I>)),
      set_slot(t, 4 + 2 * I + (I >= S_ACCELERATOR_KEYS ? 2 : 0), reinterpret_cast<void *>(&settings_put<I>))),
     ...);
}

const ICoreWebView2SettingsVtbl k_settings_table = [] {
    auto t = table_of_unused<T_SETTINGS, ICoreWebView2SettingsVtbl>();
    t.QueryInterface = settings_query;
    t.AddRef = add_ref<Settings, ICoreWebView2Settings>;
    t.Release = release<Settings, ICoreWebView2Settings>;
    set_settings_slots(t, std::make_index_sequence<S_COUNT>());
    return t;
}();

// The arithmetic above must land where the header puts each property.
const bool k_settings_slots_checked = [] {
    const auto &t = k_settings_table;
    bool ok = t.put_IsScriptEnabled == &settings_put<S_SCRIPT> &&
              t.get_IsBuiltInErrorPageEnabled == &settings_get<S_ERROR_PAGE> &&
              t.put_AreBrowserAcceleratorKeysEnabled == &settings_put<S_ACCELERATOR_KEYS> &&
              t.put_IsPasswordAutosaveEnabled == &settings_put<S_PASSWORD_AUTOSAVE> &&
              t.put_IsSwipeNavigationEnabled == &settings_put<S_SWIPE_NAVIGATION>;
    if (!ok)
        note_misuse("stand-in settings table is misaligned");
    return ok;
}();

Settings::Settings()
{
    vtbl = &k_settings_table;
    std::lock_guard<std::mutex> hold(g.lock);
    for (int i = 0; i < S_COUNT; ++i)
        values[i] = g.settings_now[i] = k_settings[i].initial;
}

// ---- event arguments --------------------------------------------------------------------------

struct MessageArgs : ICoreWebView2WebMessageReceivedEventArgs, Counted {
    std::wstring source, json, text;
    bool is_string = false;
    MessageArgs();
};

HRESULT STDMETHODCALLTYPE message_args_query(ICoreWebView2WebMessageReceivedEventArgs *iface, const IID *riid,
                                             void **object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (!same_iid(riid, IID_IUnknown) && !same_iid(riid, IID_ICoreWebView2WebMessageReceivedEventArgs))
        return E_NOINTERFACE;
    ++self_of<MessageArgs>(iface)->refs;
    *object = iface;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE message_args_source(ICoreWebView2WebMessageReceivedEventArgs *iface, LPWSTR *value)
{
    if (!value)
        return E_POINTER;
    *value = co_copy(self_of<MessageArgs>(iface)->source);
    return *value ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE message_args_json(ICoreWebView2WebMessageReceivedEventArgs *iface, LPWSTR *value)
{
    if (!value)
        return E_POINTER;
    *value = co_copy(self_of<MessageArgs>(iface)->json);
    return *value ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE message_args_string(ICoreWebView2WebMessageReceivedEventArgs *iface, LPWSTR *value)
{
    if (!value)
        return E_POINTER;
    MessageArgs *a = self_of<MessageArgs>(iface);
    *value = nullptr;
    if (!a->is_string)
        return E_INVALIDARG;
    *value = co_copy(a->text);
    return *value ? S_OK : E_OUTOFMEMORY;
}

const ICoreWebView2WebMessageReceivedEventArgsVtbl k_message_args_table = [] {
    auto t = table_of_unused<T_MESSAGE_ARGS, ICoreWebView2WebMessageReceivedEventArgsVtbl>();
    t.QueryInterface = message_args_query;
    t.AddRef = add_ref<MessageArgs, ICoreWebView2WebMessageReceivedEventArgs>;
    t.Release = release<MessageArgs, ICoreWebView2WebMessageReceivedEventArgs>;
    t.get_Source = message_args_source;
    t.get_WebMessageAsJson = message_args_json;
    t.TryGetWebMessageAsString = message_args_string;
    return t;
}();

MessageArgs::MessageArgs() { vtbl = &k_message_args_table; }

struct NavigationArgs : ICoreWebView2NavigationStartingEventArgs, Counted {
    std::wstring uri;
    BOOL cancel = FALSE;
    NavigationArgs();
};

HRESULT STDMETHODCALLTYPE navigation_args_query(ICoreWebView2NavigationStartingEventArgs *iface, const IID *riid,
                                                void **object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (!same_iid(riid, IID_IUnknown) && !same_iid(riid, IID_ICoreWebView2NavigationStartingEventArgs))
        return E_NOINTERFACE;
    ++self_of<NavigationArgs>(iface)->refs;
    *object = iface;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE navigation_args_uri(ICoreWebView2NavigationStartingEventArgs *iface, LPWSTR *uri)
{
    if (!uri)
        return E_POINTER;
    *uri = co_copy(self_of<NavigationArgs>(iface)->uri);
    return *uri ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE navigation_args_get_cancel(ICoreWebView2NavigationStartingEventArgs *iface, BOOL *cancel)
{
    if (!cancel)
        return E_POINTER;
    *cancel = self_of<NavigationArgs>(iface)->cancel;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE navigation_args_put_cancel(ICoreWebView2NavigationStartingEventArgs *iface, BOOL cancel)
{
    self_of<NavigationArgs>(iface)->cancel = cancel ? TRUE : FALSE;
    return S_OK;
}

const ICoreWebView2NavigationStartingEventArgsVtbl k_navigation_args_table = [] {
    auto t = table_of_unused<T_NAVIGATION_ARGS, ICoreWebView2NavigationStartingEventArgsVtbl>();
    t.QueryInterface = navigation_args_query;
    t.AddRef = add_ref<NavigationArgs, ICoreWebView2NavigationStartingEventArgs>;
    t.Release = release<NavigationArgs, ICoreWebView2NavigationStartingEventArgs>;
    t.get_Uri = navigation_args_uri;
    t.get_Cancel = navigation_args_get_cancel;
    t.put_Cancel = navigation_args_put_cancel;
    return t;
}();

NavigationArgs::NavigationArgs() { vtbl = &k_navigation_args_table; }

struct WindowArgs : ICoreWebView2NewWindowRequestedEventArgs, Counted {
    std::wstring uri;
    BOOL handled = FALSE;
    WindowArgs();
};

HRESULT STDMETHODCALLTYPE window_args_query(ICoreWebView2NewWindowRequestedEventArgs *iface, const IID *riid,
                                            void **object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (!same_iid(riid, IID_IUnknown) && !same_iid(riid, IID_ICoreWebView2NewWindowRequestedEventArgs))
        return E_NOINTERFACE;
    ++self_of<WindowArgs>(iface)->refs;
    *object = iface;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE window_args_uri(ICoreWebView2NewWindowRequestedEventArgs *iface, LPWSTR *uri)
{
    if (!uri)
        return E_POINTER;
    *uri = co_copy(self_of<WindowArgs>(iface)->uri);
    return *uri ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE window_args_put_handled(ICoreWebView2NewWindowRequestedEventArgs *iface, BOOL handled)
{
    self_of<WindowArgs>(iface)->handled = handled ? TRUE : FALSE;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE window_args_get_handled(ICoreWebView2NewWindowRequestedEventArgs *iface, BOOL *handled)
{
    if (!handled)
        return E_POINTER;
    *handled = self_of<WindowArgs>(iface)->handled;
    return S_OK;
}

const ICoreWebView2NewWindowRequestedEventArgsVtbl k_window_args_table = [] {
    auto t = table_of_unused<T_WINDOW_ARGS, ICoreWebView2NewWindowRequestedEventArgsVtbl>();
    t.QueryInterface = window_args_query;
    t.AddRef = add_ref<WindowArgs, ICoreWebView2NewWindowRequestedEventArgs>;
    t.Release = release<WindowArgs, ICoreWebView2NewWindowRequestedEventArgs>;
    t.get_Uri = window_args_uri;
    t.put_Handled = window_args_put_handled;
    t.get_Handled = window_args_get_handled;
    return t;
}();

WindowArgs::WindowArgs() { vtbl = &k_window_args_table; }

// ---- webview ----------------------------------------------------------------------------------

enum HandlerKind { H_MESSAGE, H_NAVIGATION, H_NEW_WINDOW };

struct Registration {
    HandlerKind kind;
    void *handler;
    int64_t token;
};

struct WebView : ICoreWebView2, Counted {
    Environment *env;
    Settings *settings;
    bool closed = false;
    std::vector<Registration> handlers;
    int64_t next_token = 1;
    explicit WebView(Environment *environment);
    ~WebView();
    void drop_handlers()
    {
        std::vector<Registration> held;
        held.swap(handlers);
        for (const Registration &r : held)
            handler_release(r.handler);
    }
    // The handlers of one kind, each held across its call (a handler may Close the view).
    std::vector<void *> take(HandlerKind kind)
    {
        std::vector<void *> list;
        for (const Registration &r : handlers)
            if (r.kind == kind) {
                handler_add_ref(r.handler);
                list.push_back(r.handler);
            }
        return list;
    }
};

HRESULT STDMETHODCALLTYPE webview_query(ICoreWebView2 *iface, const IID *riid, void **object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (!same_iid(riid, IID_IUnknown) && !same_iid(riid, IID_ICoreWebView2))
        return E_NOINTERFACE;
    ++self_of<WebView>(iface)->refs;
    *object = iface;
    return S_OK;
}

bool webview_usable(WebView *v, const char *what)
{
    if (!on_thread(v, what))
        return false;
    if (!v->closed)
        return true;
    note_misuse(std::string("after Close: ") + what);
    return false;
}

HRESULT STDMETHODCALLTYPE webview_settings(ICoreWebView2 *iface, ICoreWebView2Settings **settings)
{
    WebView *v = self_of<WebView>(iface);
    if (!webview_usable(v, "get_Settings"))
        return v->closed ? E_FAIL : RPC_E_WRONG_THREAD;
    if (!settings)
        return E_POINTER;
    ++v->settings->refs;
    *settings = v->settings;
    return S_OK;
}

// Raises NavigationStarting; an uncancelled navigation to an existing file becomes the page.
HRESULT run_navigation(WebView *v, const std::wstring &uri, BOOL *cancelled)
{
    auto *args = new NavigationArgs;
    args->uri = uri;
    for (void *h : v->take(H_NAVIGATION)) {
        wv2_table_of<Wv2HandlerTable<ICoreWebView2 *, ICoreWebView2NavigationStartingEventArgs *>>(h)->Invoke(h, v,
                                                                                                              args);
        handler_release(h);
    }
    BOOL cancel = args->cancel;
    args->vtbl->Release(args);
    if (cancelled)
        *cancelled = cancel;
    if (!cancel && !v->closed) {
        std::wstring file = file_of_uri(uri);
        if (!file.empty() && is_file(file)) {
            std::lock_guard<std::mutex> hold(g.lock);
            g.page.set(uri.c_str());
        }
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE webview_navigate(ICoreWebView2 *iface, LPCWSTR uri)
{
    WebView *v = self_of<WebView>(iface);
    if (!webview_usable(v, "Navigate"))
        return v->closed ? E_FAIL : RPC_E_WRONG_THREAD;
    if (!uri)
        return E_INVALIDARG;
    {
        std::lock_guard<std::mutex> hold(g.lock);
        g.navigations.emplace_back(uri);
    }
    HRESULT code;
    if (failing(STANDIN_FAIL_NAVIGATE, &code))
        return code;
    ++v->refs;
    std::wstring target = uri;
    if (!post_job(v->env->queue, [v, target] {
            if (!v->closed)
                run_navigation(v, target, nullptr);
            v->vtbl->Release(v);
        })) {
        --v->refs;
        return E_FAIL;
    }
    return S_OK;
}

HRESULT add_handler(ICoreWebView2 *iface, HandlerKind kind, void *handler, EventRegistrationToken *token,
                    const char *what)
{
    WebView *v = self_of<WebView>(iface);
    if (!webview_usable(v, what))
        return v->closed ? E_FAIL : RPC_E_WRONG_THREAD;
    if (!handler || !token)
        return E_POINTER;
    handler_add_ref(handler);
    token->value = v->next_token++;
    v->handlers.push_back({kind, handler, token->value});
    return S_OK;
}

HRESULT STDMETHODCALLTYPE webview_add_navigation(ICoreWebView2 *iface,
                                                 ICoreWebView2NavigationStartingEventHandler *handler,
                                                 EventRegistrationToken *token)
{
    return add_handler(iface, H_NAVIGATION, handler, token, "add_NavigationStarting");
}
HRESULT STDMETHODCALLTYPE webview_add_message(ICoreWebView2 *iface,
                                              ICoreWebView2WebMessageReceivedEventHandler *handler,
                                              EventRegistrationToken *token)
{
    return add_handler(iface, H_MESSAGE, handler, token, "add_WebMessageReceived");
}
HRESULT STDMETHODCALLTYPE webview_add_new_window(ICoreWebView2 *iface,
                                                 ICoreWebView2NewWindowRequestedEventHandler *handler,
                                                 EventRegistrationToken *token)
{
    return add_handler(iface, H_NEW_WINDOW, handler, token, "add_NewWindowRequested");
}

HRESULT STDMETHODCALLTYPE webview_post_string(ICoreWebView2 *iface, LPCWSTR message)
{
    WebView *v = self_of<WebView>(iface);
    if (!webview_usable(v, "PostWebMessageAsString"))
        return v->closed ? E_FAIL : RPC_E_WRONG_THREAD;
    if (!message)
        return E_INVALIDARG;
    HRESULT code;
    if (failing(STANDIN_FAIL_POST_MESSAGE, &code))
        return code;
    if (!v->settings->values[S_WEB_MESSAGE])
        return E_ACCESSDENIED;
    {
        std::lock_guard<std::mutex> hold(g.lock);
        g.posted.emplace_back(message);
    }
    bridge_send(message);
    return S_OK;
}

const ICoreWebView2Vtbl k_webview_table = [] {
    auto t = table_of_unused<T_WEBVIEW, ICoreWebView2Vtbl>();
    t.QueryInterface = webview_query;
    t.AddRef = add_ref<WebView, ICoreWebView2>;
    t.Release = release<WebView, ICoreWebView2>;
    t.get_Settings = webview_settings;
    t.Navigate = webview_navigate;
    t.add_NavigationStarting = webview_add_navigation;
    t.PostWebMessageAsString = webview_post_string;
    t.add_WebMessageReceived = webview_add_message;
    t.add_NewWindowRequested = webview_add_new_window;
    return t;
}();

WebView::WebView(Environment *environment) : env(environment), settings(new Settings)
{
    vtbl = &k_webview_table;
    ++env->refs;
}

WebView::~WebView()
{
    {
        std::lock_guard<std::mutex> hold(g.lock);
        if (g.current_view == this) {
            g.current_view = nullptr;
            g.current_queue = nullptr;
        }
    }
    drop_handlers();
    settings->vtbl->Release(settings);
    env->vtbl->Release(env);
}

// ---- controller -------------------------------------------------------------------------------

struct Controller : ICoreWebView2Controller, Counted {
    Environment *env;
    WebView *view;
    HWND window = nullptr;
    HWND parent = nullptr;
    bool closed = false;
    RECT bounds = {};
    BOOL visible = TRUE;
    BOOL allow_drop = TRUE;
    Controller(Environment *environment, HWND parent_window);
    ~Controller();
    void close();
};

HRESULT STDMETHODCALLTYPE controller_query(ICoreWebView2Controller *iface, const IID *riid, void **object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    bool known = same_iid(riid, IID_IUnknown) || same_iid(riid, IID_ICoreWebView2Controller) ||
                 same_iid(riid, IID_ICoreWebView2Controller2) || same_iid(riid, IID_ICoreWebView2Controller3) ||
                 (same_iid(riid, IID_ICoreWebView2Controller4) && !is_absent(STANDIN_ABSENT_CONTROLLER4));
    if (!known)
        return E_NOINTERFACE;
    ++self_of<Controller>(iface)->refs;
    *object = iface;
    return S_OK;
}

bool controller_usable(Controller *c, const char *what)
{
    if (!on_thread(c, what))
        return false;
    if (!c->closed)
        return true;
    note_misuse(std::string("after Close: ") + what);
    return false;
}

#define ZFEN_CONTROLLER_GUARD(c, what)                                                                                 \
    if (!controller_usable(c, what))                                                                                   \
    return (c)->closed ? E_FAIL : RPC_E_WRONG_THREAD

HRESULT STDMETHODCALLTYPE controller_get_visible(ICoreWebView2Controller *iface, BOOL *visible)
{
    Controller *c = self_of<Controller>(iface);
    ZFEN_CONTROLLER_GUARD(c, "get_IsVisible");
    if (!visible)
        return E_POINTER;
    *visible = c->visible;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE controller_put_visible(ICoreWebView2Controller *iface, BOOL visible)
{
    Controller *c = self_of<Controller>(iface);
    ZFEN_CONTROLLER_GUARD(c, "put_IsVisible");
    c->visible = visible ? TRUE : FALSE;
    if (IsWindow(c->window))
        ShowWindow(c->window, c->visible ? SW_SHOWNA : SW_HIDE);
    std::lock_guard<std::mutex> hold(g.lock);
    g.visible = c->visible;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE controller_get_bounds(ICoreWebView2Controller *iface, RECT *bounds)
{
    Controller *c = self_of<Controller>(iface);
    ZFEN_CONTROLLER_GUARD(c, "get_Bounds");
    if (!bounds)
        return E_POINTER;
    *bounds = c->bounds;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE controller_put_bounds(ICoreWebView2Controller *iface, RECT bounds)
{
    Controller *c = self_of<Controller>(iface);
    ZFEN_CONTROLLER_GUARD(c, "put_Bounds");
    c->bounds = bounds;
    if (IsWindow(c->window))
        SetWindowPos(c->window, nullptr, bounds.left, bounds.top, std::max(0L, bounds.right - bounds.left),
                     std::max(0L, bounds.bottom - bounds.top), SWP_NOZORDER | SWP_NOACTIVATE);
    std::lock_guard<std::mutex> hold(g.lock);
    g.bounds = bounds;
    g.bounds_set = true;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE controller_move_focus(ICoreWebView2Controller *iface, COREWEBVIEW2_MOVE_FOCUS_REASON reason)
{
    Controller *c = self_of<Controller>(iface);
    ZFEN_CONTROLLER_GUARD(c, "MoveFocus");
    if (reason < COREWEBVIEW2_MOVE_FOCUS_REASON_PROGRAMMATIC || reason > COREWEBVIEW2_MOVE_FOCUS_REASON_PREVIOUS)
        return E_INVALIDARG;
    std::lock_guard<std::mutex> hold(g.lock);
    ++g.focus_count;
    g.focus_reason = reason;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE controller_close(ICoreWebView2Controller *iface)
{
    Controller *c = self_of<Controller>(iface);
    if (!on_thread(c, "Close"))
        return RPC_E_WRONG_THREAD;
    c->close();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE controller_webview(ICoreWebView2Controller *iface, ICoreWebView2 **webview)
{
    Controller *c = self_of<Controller>(iface);
    ZFEN_CONTROLLER_GUARD(c, "get_CoreWebView2");
    if (!webview)
        return E_POINTER;
    ++c->view->refs;
    *webview = c->view;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE controller_get_drop(ICoreWebView2Controller *iface, BOOL *allow)
{
    Controller *c = self_of<Controller>(iface);
    if (is_absent(STANDIN_ABSENT_CONTROLLER4)) {
        note_misuse("absent interface: get_AllowExternalDrop");
        return E_NOTIMPL;
    }
    ZFEN_CONTROLLER_GUARD(c, "get_AllowExternalDrop");
    if (!allow)
        return E_POINTER;
    *allow = c->allow_drop;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE controller_put_drop(ICoreWebView2Controller *iface, BOOL allow)
{
    Controller *c = self_of<Controller>(iface);
    if (is_absent(STANDIN_ABSENT_CONTROLLER4)) {
        note_misuse("absent interface: put_AllowExternalDrop");
        return E_NOTIMPL;
    }
    ZFEN_CONTROLLER_GUARD(c, "put_AllowExternalDrop");
    c->allow_drop = allow ? TRUE : FALSE;
    std::lock_guard<std::mutex> hold(g.lock);
    g.external_drop = c->allow_drop;
    return S_OK;
}

const ICoreWebView2ControllerVtbl k_controller_table = [] {
    auto t = table_of_unused<T_CONTROLLER, ICoreWebView2ControllerVtbl>();
    t.QueryInterface = controller_query;
    t.AddRef = add_ref<Controller, ICoreWebView2Controller>;
    t.Release = release<Controller, ICoreWebView2Controller>;
    t.get_IsVisible = controller_get_visible;
    t.put_IsVisible = controller_put_visible;
    t.get_Bounds = controller_get_bounds;
    t.put_Bounds = controller_put_bounds;
    t.MoveFocus = controller_move_focus;
    t.Close = controller_close;
    t.get_CoreWebView2 = controller_webview;
    t.get_AllowExternalDrop = controller_get_drop;
    t.put_AllowExternalDrop = controller_put_drop;
    return t;
}();

Controller::Controller(Environment *environment, HWND parent_window)
    : env(environment), view(new WebView(environment)), parent(parent_window)
{
    vtbl = &k_controller_table;
    ++env->refs;
    ++env->controllers;
    // No parent notification: the parent may belong to a thread that is waiting for this one.
    window = CreateWindowExW(WS_EX_NOPARENTNOTIFY, k_view_class, L"", WS_CHILD | WS_CLIPSIBLINGS | WS_VISIBLE, 0, 0, 0,
                             0, parent_window, nullptr, g_module, nullptr);
}

void Controller::close()
{
    if (closed)
        return;
    closed = true;
    view->closed = true;
    view->settings->closed = true;
    if (IsWindow(window))
        DestroyWindow(window);
    {
        std::lock_guard<std::mutex> hold(g.lock);
        if (g.view_window == window) {
            g.view_window = nullptr;
            g.closed = 1;
        }
        if (g.current_view == view) {
            g.current_view = nullptr;
            g.current_queue = nullptr;
        }
    }
    window = nullptr;
    view->drop_handlers();
    --env->controllers;
    env->idle();
}

Controller::~Controller()
{
    // The last release closes, as the runtime does.
    if (!closed) {
        if (GetCurrentThreadId() == thread)
            close();
        else
            note_misuse("controller released on another thread without Close");
    }
    view->vtbl->Release(view);
    env->vtbl->Release(env);
}

// ---- environment methods ------------------------------------------------------------------------

HRESULT STDMETHODCALLTYPE environment_query(ICoreWebView2Environment *iface, const IID *riid, void **object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (!same_iid(riid, IID_IUnknown) && !same_iid(riid, IID_ICoreWebView2Environment) &&
        (!same_iid(riid, IID_ICoreWebView2Environment5) || is_absent(STANDIN_ABSENT_ENVIRONMENT5)))
        return E_NOINTERFACE;
    ++self_of<Environment>(iface)->refs;
    *object = iface;
    return S_OK;
}

using ControllerHandlerTable = Wv2HandlerTable<HRESULT, ICoreWebView2Controller *>;

HRESULT STDMETHODCALLTYPE environment_create_controller(
    ICoreWebView2Environment *iface, HWND parent, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler *handler)
{
    Environment *e = self_of<Environment>(iface);
    if (!on_thread(e, "CreateCoreWebView2Controller"))
        return RPC_E_WRONG_THREAD;
    if (!handler)
        return E_POINTER;
    if (!IsWindow(parent)) {
        e->idle();
        return HRESULT_FROM_WIN32(ERROR_INVALID_WINDOW_HANDLE);
    }
    HRESULT code;
    if (failing(STANDIN_FAIL_CONTROLLER_CALL, &code)) {
        e->idle();
        return code;
    }
    // The child window joins the parent before the call returns.
    auto *c = new Controller(e, parent);
    if (!c->window) {
        c->vtbl->Release(c);
        return HRESULT_FROM_WIN32(GetLastError() ? GetLastError() : ERROR_INVALID_WINDOW_HANDLE);
    }
    handler_add_ref(handler);
    void *h = handler;
    bool posted = post_job(e->queue, [c, h] {
        const ControllerHandlerTable *table = wv2_table_of<ControllerHandlerTable>(h);
        HRESULT code2 = S_OK;
        if (!IsWindow(c->parent)) {
            c->close();
            table->Invoke(h, E_ABORT, nullptr);
        } else if (failing(STANDIN_FAIL_CONTROLLER_INVOKE, &code2)) {
            c->close();
            table->Invoke(h, code2, nullptr);
        } else if (failing(STANDIN_FAIL_CONTROLLER_NULL, &code2)) {
            c->close();
            table->Invoke(h, S_OK, nullptr);
        } else {
            {
                std::lock_guard<std::mutex> hold(g.lock);
                g.view_window = c->window;
                g.bounds = {};
                g.bounds_set = false;
                g.visible = -1;
                g.external_drop = -1;
                g.closed = 0;
                g.current_view = c->view;
                g.current_queue = c->env->queue;
                g.gui_thread = c->thread;
                g.page = OptText{};
            }
            table->Invoke(h, S_OK, c);
        }
        handler_release(h);
        c->vtbl->Release(c);
    });
    if (!posted) {
        handler_release(handler);
        c->vtbl->Release(c);
        return E_FAIL;
    }
    return S_OK;
}

Environment *environment_of(ICoreWebView2Environment5 *iface)
{
    return static_cast<Environment *>(reinterpret_cast<ICoreWebView2Environment *>(iface));
}

bool environment5_usable(Environment *e, const char *what)
{
    if (!on_thread(e, what))
        return false;
    if (!is_absent(STANDIN_ABSENT_ENVIRONMENT5))
        return true;
    note_misuse(std::string("absent interface: ") + what);
    return false;
}

HRESULT STDMETHODCALLTYPE environment_add_exited(ICoreWebView2Environment5 *iface,
                                                 ICoreWebView2BrowserProcessExitedEventHandler *handler,
                                                 EventRegistrationToken *token)
{
    Environment *e = environment_of(iface);
    if (!environment5_usable(e, "add_BrowserProcessExited"))
        return E_NOINTERFACE;
    if (!handler || !token)
        return E_POINTER;
    handler_add_ref(handler);
    token->value = e->next_token++;
    e->exit_handlers.emplace_back(handler, token->value);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE environment_remove_exited(ICoreWebView2Environment5 *iface, EventRegistrationToken token)
{
    Environment *e = environment_of(iface);
    if (!environment5_usable(e, "remove_BrowserProcessExited"))
        return E_NOINTERFACE;
    for (auto i = e->exit_handlers.begin(); i != e->exit_handlers.end(); ++i)
        if (i->second == token.value) {
            void *h = i->first;
            e->exit_handlers.erase(i);
            handler_release(h);
            break;
        }
    return S_OK;
}

// On the environment's thread, from its message loop (with no arguments).
void raise_browser_exited(Environment *e)
{
    if (is_absent(STANDIN_ABSENT_EXIT_EVENT))
        return;
    ++e->refs;
    std::vector<void *> list;
    for (const auto &r : e->exit_handlers) {
        handler_add_ref(r.first);
        list.push_back(r.first);
    }
    using Table = Wv2HandlerTable<ICoreWebView2Environment *, ICoreWebView2BrowserProcessExitedEventArgs *>;
    for (void *h : list) {
        wv2_table_of<Table>(h)->Invoke(h, e, nullptr);
        handler_release(h);
    }
    e->vtbl->Release(e);
}

// One table answers for ICoreWebView2Environment and, where offered, Environment5.
const ICoreWebView2Environment5Vtbl k_environment_table = [] {
    auto t = table_of_unused<T_ENVIRONMENT, ICoreWebView2Environment5Vtbl>();
    set_slot(t, 0, reinterpret_cast<void *>(&environment_query));
    set_slot(t, 1, reinterpret_cast<void *>(&add_ref<Environment, ICoreWebView2Environment>));
    set_slot(t, 2, reinterpret_cast<void *>(&release<Environment, ICoreWebView2Environment>));
    set_slot(t, 3, reinterpret_cast<void *>(&environment_create_controller));
    t.add_BrowserProcessExited = environment_add_exited;
    t.remove_BrowserProcessExited = environment_remove_exited;
    return t;
}();

Environment::Environment()
{
    vtbl = reinterpret_cast<const ICoreWebView2EnvironmentVtbl *>(&k_environment_table);
    queue = CreateWindowExW(0, k_queue_class, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, g_module, nullptr);
    if (queue)
        SetWindowLongPtrW(queue, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

Environment::~Environment()
{
    for (const auto &r : exit_handlers)
        handler_release(r.first);
    browser_end(std::exchange(browser, nullptr));
    if (!queue)
        return;
    SetWindowLongPtrW(queue, GWLP_USERDATA, 0);
    bool bridged;
    {
        std::lock_guard<std::mutex> hold(g_bridge.lock);
        bridged = g_bridge.queue == queue;
    }
    if (bridged)
        bridge_close();
    // Leaves no window behind on the editor's thread.
    if (GetCurrentThreadId() == thread) {
        DestroyWindow(queue);
    } else {
        note_misuse("environment released on another thread");
        PostMessageW(queue, WM_CLOSE, 0, 0);
    }
}

// ---- running steering work on the GUI thread ------------------------------------------------------

struct Delivery {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HRESULT result = E_FAIL;
    BOOL flag = FALSE;
    ~Delivery()
    {
        if (done)
            CloseHandle(done);
    }
};

// Waits for the GUI thread, letting sent messages through so a handler that
// sends to a window of this thread cannot deadlock it. Gives up at once when
// that thread (`gui`, may be null) ends before running the job.
bool wait_for(HANDLE done, HANDLE gui = nullptr)
{
    HANDLE handles[2] = {done, gui};
    const DWORD count = gui ? 2 : 1;
    ULONGLONG deadline = GetTickCount64() + STANDIN_WAIT_MS;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        DWORD r = MsgWaitForMultipleObjects(count, handles, FALSE, static_cast<DWORD>(deadline - now), QS_SENDMESSAGE);
        if (r == WAIT_OBJECT_0)
            return true;
        if (gui && r == WAIT_OBJECT_0 + 1)
            return WaitForSingleObject(done, 0) == WAIT_OBJECT_0;
        if (r == WAIT_OBJECT_0 + count) {
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            continue;
        }
        if (r == WAIT_TIMEOUT)
            return false;
        if (r == WAIT_FAILED)
            return false;
    }
}

// Runs fn(view) on the current view's thread; fn returns the result and sets the flag.
HRESULT on_gui(std::function<HRESULT(WebView *, BOOL *)> fn, BOOL *flag)
{
    HWND queue;
    {
        std::lock_guard<std::mutex> hold(g.lock);
        queue = g.current_queue;
    }
    if (!queue)
        return STANDIN_E_NO_VIEW;
    auto run = [fn](BOOL *out) -> HRESULT {
        WebView *v;
        {
            std::lock_guard<std::mutex> hold(g.lock);
            v = g.current_view;
        }
        if (!v || v->closed || v->thread != GetCurrentThreadId())
            return STANDIN_E_NO_VIEW;
        ++v->refs;
        HRESULT hr = fn(v, out);
        v->vtbl->Release(v);
        return hr;
    };
    if (GetWindowThreadProcessId(queue, nullptr) == GetCurrentThreadId()) {
        BOOL out = FALSE;
        HRESULT hr = run(&out);
        if (flag)
            *flag = out;
        return hr;
    }
    auto d = std::make_shared<Delivery>();
    if (!d->done)
        return E_OUTOFMEMORY;
    // An editor closing meanwhile takes its thread, and the job, with it: hold
    // the thread before posting, so a queue gone by then is never waited for.
    const DWORD gui_id = GetWindowThreadProcessId(queue, nullptr);
    HANDLE gui = gui_id ? OpenThread(SYNCHRONIZE, FALSE, gui_id) : nullptr;
    if (!gui)
        return STANDIN_E_NO_VIEW;
    if (!post_job(queue, [d, run] {
            d->result = run(&d->flag);
            SetEvent(d->done);
        })) {
        CloseHandle(gui);
        return STANDIN_E_NO_VIEW;
    }
    const bool ran = wait_for(d->done, gui);
    const bool gone = WaitForSingleObject(gui, 0) == WAIT_OBJECT_0;
    CloseHandle(gui);
    if (!ran)
        return gone ? STANDIN_E_NO_VIEW : STANDIN_E_TIMEOUT;
    if (flag)
        *flag = d->flag;
    return d->result;
}

HRESULT deliver_message(const std::wstring &json, const std::wstring *text)
{
    std::wstring body = json;
    bool is_string = text != nullptr;
    std::wstring str = text ? *text : L"";
    return on_gui(
        [body, is_string, str](WebView *v, BOOL *) -> HRESULT {
            OptText page;
            {
                std::lock_guard<std::mutex> hold(g.lock);
                page = g.page;
            }
            if (!page.present)
                return STANDIN_E_NO_VIEW; // no page, no script to post
            // The page's postMessage throws when scripts or web messages are off.
            if (!v->settings->values[S_SCRIPT] || !v->settings->values[S_WEB_MESSAGE])
                return E_ACCESSDENIED;
            auto *args = new MessageArgs;
            args->source = page.text;
            args->json = body;
            args->is_string = is_string;
            args->text = str;
            std::vector<void *> list = v->take(H_MESSAGE);
            for (void *h : list) {
                wv2_table_of<Wv2HandlerTable<ICoreWebView2 *, ICoreWebView2WebMessageReceivedEventArgs *>>(h)->Invoke(
                    h, v, args);
                handler_release(h);
            }
            args->vtbl->Release(args);
            return list.empty() ? S_FALSE : S_OK;
        },
        nullptr);
}

} // namespace

// ---- the loader entry point ------------------------------------------------------------------------

using EnvironmentHandlerTable = Wv2HandlerTable<HRESULT, ICoreWebView2Environment *>;

extern "C" HRESULT STDAPICALLTYPE CreateCoreWebView2EnvironmentWithOptions(
    PCWSTR browser_folder, PCWSTR user_data_folder, ICoreWebView2EnvironmentOptions *options,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler *handler)
{
    {
        std::lock_guard<std::mutex> hold(g.lock);
        ++g.environment_calls;
        g.browser_folder.set(browser_folder);
        g.user_data_folder.set(user_data_folder);
        g.browser_arguments.set(nullptr);
        g.target_version.set(nullptr);
    }
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    HRESULT hr = CoGetApartmentType(&type, &qualifier);
    if (hr == CO_E_NOTINITIALIZED)
        return CO_E_NOTINITIALIZED;
    if (FAILED(hr))
        return hr;
    if (type == APTTYPE_MTA && qualifier == APTTYPEQUALIFIER_IMPLICIT_MTA)
        return CO_E_NOTINITIALIZED;
    if (type != APTTYPE_STA && type != APTTYPE_MAINSTA)
        return RPC_E_CHANGED_MODE;
    if (!handler)
        return E_POINTER;
    if (browser_folder && wcsstr(browser_folder, L"\\Edge\\Application\\"))
        return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);

    if (options) {
        const Wv2EnvironmentOptionsTable *t = wv2_table_of<Wv2EnvironmentOptionsTable>(options);
        LPWSTR arguments = nullptr, version = nullptr;
        HRESULT ha = t->get_AdditionalBrowserArguments(options, &arguments);
        HRESULT hv = t->get_TargetCompatibleBrowserVersion(options, &version);
        {
            std::lock_guard<std::mutex> hold(g.lock);
            g.browser_arguments.set(SUCCEEDED(ha) ? arguments : nullptr);
            g.target_version.set(SUCCEEDED(hv) ? version : nullptr);
        }
        CoTaskMemFree(arguments);
        CoTaskMemFree(version);
    }

    HRESULT code;
    if (failing(STANDIN_FAIL_ENVIRONMENT_CALL, &code))
        return code;

    std::wstring folder;
    if (user_data_folder && *user_data_folder) {
        folder = user_data_folder;
    } else {
        wchar_t exe[MAX_PATH];
        DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
        if (n == 0 || n >= MAX_PATH)
            return E_FAIL;
        folder = std::wstring(exe) + L".WebView2";
    }
    hr = make_folder_tree(folder);
    if (FAILED(hr))
        return hr;
    // The runtime fills the folder at once, so only a removal of the whole tree empties it.
    hr = make_folder_tree(folder + L"\\EBWebView");
    if (FAILED(hr))
        return hr;
    HANDLE state = CreateFileW((folder + L"\\EBWebView\\Local State").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (state == INVALID_HANDLE_VALUE)
        return HRESULT_FROM_WIN32(GetLastError());
    DWORD written = 0;
    WriteFile(state, "{}", 2, &written, nullptr);
    CloseHandle(state);

    if (!register_classes())
        return HRESULT_FROM_WIN32(GetLastError());
    auto *e = new Environment;
    if (!e->queue) {
        e->vtbl->Release(e);
        return E_FAIL;
    }
    {
        std::lock_guard<std::mutex> hold(g.lock);
        g.gui_thread = e->thread;
    }
    handler_add_ref(handler);
    void *h = handler;
    // The result arrives later, from this thread's message loop.
    post_job(e->queue, [e, h, folder] {
        HRESULT invoke_code = S_OK;
        const EnvironmentHandlerTable *table = wv2_table_of<EnvironmentHandlerTable>(h);
        if (failing(STANDIN_FAIL_ENVIRONMENT_INVOKE, &invoke_code)) {
            table->Invoke(h, invoke_code, nullptr);
        } else {
            e->browser = browser_start(folder, e->queue);
            table->Invoke(h, S_OK, e);
        }
        handler_release(h);
        e->vtbl->Release(e);
    });
    return S_OK;
}

// ---- steering exports -------------------------------------------------------------------------------

extern "C" {

void standin_reset(void)
{
    std::lock_guard<std::mutex> hold(g.lock);
    g.fail_step = STANDIN_FAIL_NONE;
    g.fail_code = E_FAIL;
    g.absent = 0;
    g.environment_calls = 0;
    g.browser_folder = g.user_data_folder = g.browser_arguments = g.target_version = OptText{};
    g.navigations.clear();
    g.posted.clear();
    g.settings_calls.clear();
    g.misuse.clear();
    g.bounds = {};
    g.bounds_set = false;
    g.visible = g.focus_reason = g.external_drop = g.closed = -1;
    g.focus_count = 0;
}

void standin_configure(int fail_step, HRESULT code, unsigned absent)
{
    std::lock_guard<std::mutex> hold(g.lock);
    g.fail_step = fail_step;
    g.fail_code = code;
    g.absent = absent;
}

HRESULT standin_sync(void)
{
    return on_gui([](WebView *, BOOL *) { return S_OK; }, nullptr);
}

HRESULT standin_page_posts_string(const wchar_t *text)
{
    if (!text)
        return E_POINTER;
    std::wstring s = text;
    return deliver_message(json_quote(s), &s);
}

HRESULT standin_bridge(int port)
{
    bridge_close();
    if (port == 0)
        return S_OK;
    if (port < 0 || port > 65535)
        return E_INVALIDARG;
    return bridge_open(port);
}

HRESULT standin_page_posts_json(const wchar_t *json)
{
    if (!json)
        return E_POINTER;
    return deliver_message(json, nullptr);
}

HRESULT standin_start_navigation(const wchar_t *uri, BOOL *cancelled)
{
    if (!uri)
        return E_POINTER;
    std::wstring target = uri;
    return on_gui([target](WebView *v, BOOL *out) { return run_navigation(v, target, out); }, cancelled);
}

HRESULT standin_request_new_window(const wchar_t *uri, BOOL *handled)
{
    if (!uri)
        return E_POINTER;
    std::wstring target = uri;
    return on_gui(
        [target](WebView *v, BOOL *out) -> HRESULT {
            auto *args = new WindowArgs;
            args->uri = target;
            for (void *h : v->take(H_NEW_WINDOW)) {
                wv2_table_of<Wv2HandlerTable<ICoreWebView2 *, ICoreWebView2NewWindowRequestedEventArgs *>>(h)->Invoke(
                    h, v, args);
                handler_release(h);
            }
            *out = args->handled;
            args->vtbl->Release(args);
            return S_OK;
        },
        handled);
}

int standin_current_page(wchar_t *buffer, int capacity)
{
    std::lock_guard<std::mutex> hold(g.lock);
    return copy_opt(g.page, buffer, capacity);
}

int standin_navigate_count(void)
{
    std::lock_guard<std::mutex> hold(g.lock);
    return static_cast<int>(g.navigations.size());
}

int standin_navigate_uri(int index, wchar_t *buffer, int capacity)
{
    std::lock_guard<std::mutex> hold(g.lock);
    if (index < 0 || static_cast<size_t>(index) >= g.navigations.size())
        return -1;
    return copy_out(g.navigations[static_cast<size_t>(index)], buffer, capacity);
}

int standin_posted_count(void)
{
    std::lock_guard<std::mutex> hold(g.lock);
    return static_cast<int>(g.posted.size());
}

int standin_posted_text(int index, wchar_t *buffer, int capacity)
{
    std::lock_guard<std::mutex> hold(g.lock);
    if (index < 0 || static_cast<size_t>(index) >= g.posted.size())
        return -1;
    return copy_out(g.posted[static_cast<size_t>(index)], buffer, capacity);
}

int standin_settings_count(void)
{
    std::lock_guard<std::mutex> hold(g.lock);
    return static_cast<int>(g.settings_calls.size());
}

int standin_settings_call(int index, char *name, int capacity, BOOL *value)
{
    std::lock_guard<std::mutex> hold(g.lock);
    if (index < 0 || static_cast<size_t>(index) >= g.settings_calls.size())
        return -1;
    const SettingsCall &c = g.settings_calls[static_cast<size_t>(index)];
    if (value)
        *value = c.value;
    return copy_out(c.name, name, capacity);
}

BOOL standin_setting_value(const char *name, BOOL *value)
{
    if (!name || !value)
        return FALSE;
    std::lock_guard<std::mutex> hold(g.lock);
    for (int i = 0; i < S_COUNT; ++i)
        if (std::strcmp(k_settings[i].name, name) == 0) {
            *value = g.settings_now[i];
            return TRUE;
        }
    return FALSE;
}

HWND standin_controller_window(void)
{
    std::lock_guard<std::mutex> hold(g.lock);
    return g.view_window;
}

BOOL standin_controller_bounds(RECT *bounds)
{
    std::lock_guard<std::mutex> hold(g.lock);
    if (bounds)
        *bounds = g.bounds;
    return g.bounds_set ? TRUE : FALSE;
}

int standin_controller_visible(void)
{
    std::lock_guard<std::mutex> hold(g.lock);
    return g.visible;
}

int standin_move_focus_count(int *last_reason)
{
    std::lock_guard<std::mutex> hold(g.lock);
    if (last_reason)
        *last_reason = g.focus_reason;
    return g.focus_count;
}

int standin_allow_external_drop(void)
{
    std::lock_guard<std::mutex> hold(g.lock);
    return g.external_drop;
}

int standin_controller_closed(void)
{
    std::lock_guard<std::mutex> hold(g.lock);
    return g.closed;
}

int standin_environment_calls(void)
{
    std::lock_guard<std::mutex> hold(g.lock);
    return g.environment_calls;
}

int standin_browser_folder(wchar_t *buffer, int capacity)
{
    std::lock_guard<std::mutex> hold(g.lock);
    return copy_opt(g.browser_folder, buffer, capacity);
}

int standin_user_data_folder(wchar_t *buffer, int capacity)
{
    std::lock_guard<std::mutex> hold(g.lock);
    return copy_opt(g.user_data_folder, buffer, capacity);
}

int standin_browser_arguments(wchar_t *buffer, int capacity)
{
    std::lock_guard<std::mutex> hold(g.lock);
    return copy_opt(g.browser_arguments, buffer, capacity);
}

int standin_target_version(wchar_t *buffer, int capacity)
{
    std::lock_guard<std::mutex> hold(g.lock);
    return copy_opt(g.target_version, buffer, capacity);
}

DWORD standin_gui_thread(void)
{
    std::lock_guard<std::mutex> hold(g.lock);
    return g.gui_thread;
}

long standin_live_objects(void) { return g_live.load(); }

long standin_handlers_held(void) { return g_handlers.load(); }

long standin_browsers_running(void) { return g_running.load(); }

int standin_misuse_count(void)
{
    std::lock_guard<std::mutex> hold(g.lock);
    return static_cast<int>(g.misuse.size());
}

int standin_misuse(int index, char *buffer, int capacity)
{
    std::lock_guard<std::mutex> hold(g.lock);
    if (index < 0 || static_cast<size_t>(index) >= g.misuse.size())
        return -1;
    return copy_out(g.misuse[static_cast<size_t>(index)], buffer, capacity);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        // A DLL's classes outlive it otherwise, with a window procedure that is gone.
        UnregisterClassW(k_queue_class, instance);
        UnregisterClassW(k_view_class, instance);
    }
    return TRUE;
}

} // extern "C"
