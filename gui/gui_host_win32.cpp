// The GUI host on Windows: its GUI thread, the GUI window and the relay
// window, and the synchronous calls between the creator thread (the plug-in
// host's UI thread) and the GUI thread. One gate semaphore serialises the
// exchanges; both sides take it by polling and serve the other side's
// requests between polls, so neither ever waits for the other for good.
#include "gui_host_win32.h"

#include "core/float_bits.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A value travels as its bits in the low half of an LPARAM.
float float_of(LPARAM lp) { return float_from_bits(static_cast<uint32_t>(lp & 0xFFFFFFFF)); }

GuiHost *host_of(HWND w) { return reinterpret_cast<GuiHost *>(GetWindowLongPtrA(w, 0)); }

// Stores the host in a window's extra memory; a zero result with an error
// set is a failure.
bool attach_host(HWND w, GuiHost *h)
{
    SetLastError(0);
    return SetWindowLongPtrA(w, 0, reinterpret_cast<LONG_PTR>(h)) != 0 || GetLastError() == 0;
}

// Waits for `object` while letting messages sent to this thread's windows
// through: a cross-thread SetParent or DestroyWindow on the other side waits
// for them. Posted messages stay queued. Also returns, false, once `ended`
// (the GUI thread, may be null) has ended, so nobody waits on a thread that
// is gone.
bool wait_letting_sent_through(HANDLE object, HANDLE ended)
{
    HANDLE handles[2] = {object, ended};
    const DWORD count = ended ? 2 : 1;
    for (;;) {
        const DWORD r = MsgWaitForMultipleObjects(count, handles, FALSE, INFINITE, QS_SENDMESSAGE);
        if (r == WAIT_OBJECT_0)
            return true;
        if (r == WAIT_OBJECT_0 + count) {
            MSG m;
            PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            continue;
        }
        return false;
    }
}

// ---- the creator's side of a request ---------------------------------------------------

// [creator] Takes the gate, serving the edits a GUI thread holding it forwards.
bool acquire_gate_creator(GuiHost *h)
{
    for (;;) {
        const DWORD r = WaitForSingleObject(h->gate_sem, 0);
        if (r == WAIT_OBJECT_0)
            return true;
        if (r != WAIT_TIMEOUT)
            return false;
        MSG m;
        bool served = false;
        while (PeekMessageA(&m, h->relay_window, 0, 0, PM_REMOVE)) {
            TranslateMessage(&m);
            DispatchMessageA(&m);
            served = true;
        }
        if (!served)
            SwitchToThread();
    }
}

// [any but GUI] Posts one request to the GUI thread and waits for its answer.
// The creator holds the gate meanwhile; other threads queue on their own lock
// and are answered on their own semaphore.
void request(GuiHost *h, UINT message, WPARAM wp, LPARAM lp)
{
    if (h->gui_ended.load())
        return;
    const char *text = message == WM_GUI_POST_TEXT ? reinterpret_cast<const char *>(lp) : nullptr;
    if (GetCurrentThreadId() == h->creator_thread_id) {
        if (!acquire_gate_creator(h))
            return;
        h->creator_request.text = text;
        h->creator_request.message.store(message);
        if (PostMessageA(h->window, message, wp, lp))
            wait_letting_sent_through(h->done_sem, h->thread);
        h->creator_request.message.store(0);
        ReleaseSemaphore(h->gate_sem, 1, nullptr);
        return;
    }
    EnterCriticalSection(&h->other_lock);
    h->other_request.text = text;
    h->other_request.message.store(message);
    if (PostMessageA(h->window, message, wp, lp | k_gui_from_other_thread)) {
        HANDLE handles[2] = {h->other_sem, h->thread};
        WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    }
    h->other_request.message.store(0);
    LeaveCriticalSection(&h->other_lock);
}

// ---- the GUI thread -------------------------------------------------------------------

// [gui] Carries out a set-value or post-text request and answers it. False
// for any other message. A message nobody sent through request() (another
// program can post to a top-level window) is dropped unanswered, and a text
// is read only through the pointer its sender handed over.
bool serve_request(GuiHost *h, const MSG &m)
{
    if (m.hwnd != h->window || (m.message != WM_GUI_SET_VALUE && m.message != WM_GUI_POST_TEXT))
        return false;
    const bool other = (m.lParam & k_gui_from_other_thread) != 0;
    GuiRequest &r = other ? h->other_request : h->creator_request;
    if (r.message.load() != m.message)
        return true;
    if (m.message == WM_GUI_SET_VALUE)
        gui_protocol_send_value(&h->dispatch, static_cast<uint32_t>(m.wParam), float_of(m.lParam));
    else if (reinterpret_cast<const char *>(m.lParam & ~k_gui_from_other_thread) == r.text)
        gui_protocol_send_text(&h->dispatch, r.text);
    else
        return true;
    r.message.store(0);
    ReleaseSemaphore(other ? h->other_sem : h->done_sem, 1, nullptr);
    return true;
}

// [gui] Takes the gate, serving the creator's requests meanwhile. A destroy
// request (or the window going away) abandons the edit that wanted the gate;
// the message loop tears down once control returns to it.
bool acquire_gate_gui(GuiHost *h)
{
    for (;;) {
        if (h->destroy_pending || h->quit_pending)
            return false;
        const DWORD r = WaitForSingleObject(h->gate_sem, 0);
        if (r == WAIT_OBJECT_0)
            return true;
        if (r != WAIT_TIMEOUT)
            return false;
        MSG m;
        bool served = false;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            served = true;
            if (m.message == WM_QUIT) {
                h->quit_pending = true;
                return false;
            }
            if (m.hwnd == h->window && m.message == WM_GUI_DESTROY) {
                h->destroy_pending = true;
                return false;
            }
            if (!serve_request(h, m)) {
                TranslateMessage(&m);
                DispatchMessageA(&m);
            }
        }
        if (!served)
            SwitchToThread();
    }
}

// [gui] One page edit, carried synchronously to the creator thread. A value
// the plug-in side sets from inside the callback comes back over the slot
// and reaches the page before the edit's exchange ends.
void forward(GuiHost *h, UINT message, uint32_t index, float value)
{
    if (!acquire_gate_gui(h))
        return;
    h->edit_pending.store(message);
    if (PostMessageA(h->relay_window, message, index, static_cast<LPARAM>(float_bits(value)))) {
        wait_letting_sent_through(h->reply_sem, nullptr);
        while (h->in_callback.load()) {
            gui_protocol_send_value(&h->dispatch, h->slot_index, h->slot_value);
            ReleaseSemaphore(h->done_sem, 1, nullptr);
            wait_letting_sent_through(h->reply_sem, nullptr);
        }
    }
    ReleaseSemaphore(h->gate_sem, 1, nullptr);
}

void forward_begin(GuiHost *h, uint32_t index, float value) { forward(h, WM_GUI_BEGIN_EDIT, index, value); }
void forward_perform(GuiHost *h, uint32_t index, float value) { forward(h, WM_GUI_PERFORM_EDIT, index, value); }
void forward_end(GuiHost *h, uint32_t index, float value) { forward(h, WM_GUI_END_EDIT, index, value); }

// [creator] Runs the front end's edit callbacks for the GUI thread.
LRESULT CALLBACK relay_window_proc(HWND w, UINT message, WPARAM wp, LPARAM lp)
{
    GuiHost *h = host_of(w);
    if (!h || message < WM_GUI_BEGIN_EDIT || message > WM_GUI_END_EDIT)
        return DefWindowProcA(w, message, wp, lp);
    // Only the edit the GUI thread is forwarding, once: it waits for exactly one answer.
    if (h->edit_pending.exchange(0) != message)
        return 0;
    void (*edit)(void *, uint32_t, float) = message == WM_GUI_BEGIN_EDIT     ? h->desc.begin_edit
                                            : message == WM_GUI_PERFORM_EDIT ? h->desc.perform_edit
                                                                             : h->desc.end_edit;
    h->in_callback.store(1);
    if (edit)
        edit(h->desc.user, static_cast<uint32_t>(wp), float_of(lp));
    h->in_callback.store(0);
    ReleaseSemaphore(h->reply_sem, 1, nullptr);
    return 0;
}

// [gui]
LRESULT CALLBACK gui_window_proc(HWND w, UINT message, WPARAM wp, LPARAM lp)
{
    GuiHost *h = host_of(w);
    if (!h)
        return DefWindowProcA(w, message, wp, lp);
    switch (message) {
    case WM_DESTROY: PostQuitMessage(0); break;
    case WM_SETFOCUS:
        if (h->controller)
            h->controller->vtbl->MoveFocus(h->controller, COREWEBVIEW2_MOVE_FOCUS_REASON_PROGRAMMATIC);
        break;
    case WM_SIZE:
        if (h->controller) {
            RECT r;
            GetClientRect(w, &r);
            h->controller->vtbl->put_Bounds(h->controller, r);
            return 0;
        }
        break;
    default: break;
    }
    return DefWindowProcA(w, message, wp, lp);
}

struct StartBlock {
    GuiHost *host;
    bool child;
    HWND parent;
    int32_t width;
    int32_t height;
    CreateCoreWebView2EnvironmentWithOptionsFn create;
    const wchar_t *page_path;
    const wchar_t *temp_file;
};

// [gui] Everything the GUI thread holds, released in reverse; the window is
// destroyed (a child window's destruction talks to its parent's thread, which
// lets sent messages through while it waits).
void gui_release(GuiHost *h, const char *gui_class, bool com)
{
    wv2_browser_teardown(h);
    if (com)
        CoUninitialize();
    if (h->window)
        DestroyWindow(h->window);
    UnregisterClassA(gui_class, nullptr);
}

// [gui] The ready step: parent, frame, show; the report lets gui_host_create
// return before the window is shown.
bool become_ready(GuiHost *h, bool child, HWND parent)
{
    if (!h->controller)
        return false;
    if (child) {
        SetLastError(0);
        if (!SetParent(h->window, parent) && GetLastError() != 0)
            return false;
    }
    if (!SetWindowPos(h->window, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED))
        return false;
    if (FAILED(h->controller->vtbl->put_IsVisible(h->controller, TRUE)))
        return false;
    if (!ReleaseSemaphore(h->done_sem, 1, nullptr))
        return false;
    ShowWindow(h->window, SW_SHOW);
    return true;
}

DWORD WINAPI gui_thread_main(void *arg)
{
    const StartBlock *start = static_cast<const StartBlock *>(arg);
    GuiHost *h = start->host;
    const bool child = start->child;
    const HWND parent = start->parent;
    h->controller = nullptr;
    char gui_class[32];
    std::snprintf(gui_class, sizeof gui_class, "c%llX",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h)));

    bool com = false;
    bool ok = false;
    WNDCLASSA wc{};
    wc.lpfnWndProc = gui_window_proc;
    wc.cbWndExtra = sizeof(void *);
    wc.hCursor = static_cast<HCURSOR>(LoadImageA(nullptr, IDC_ARROW, IMAGE_CURSOR, 0, 0, LR_SHARED));
    wc.lpszClassName = gui_class;
    if (wc.hCursor && RegisterClassA(&wc)) {
        h->window = child ? CreateWindowExA(WS_EX_NOACTIVATE, gui_class, "", 0, 0, 0, start->width, start->height,
                                            nullptr, nullptr, nullptr, nullptr)
                          : CreateWindowExA(0, gui_class, "", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, start->width,
                                            start->height, nullptr, nullptr, nullptr, nullptr);
        if (h->window && child) {
            // Hidden and frameless until it has its parent.
            SetLastError(0);
            if (!SetWindowLongPtrA(h->window, GWL_STYLE, 0) && GetLastError() != 0) {
                DestroyWindow(h->window);
                h->window = nullptr;
            }
        }
        if (h->window && attach_host(h->window, h)) {
            com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
            ok = com && wv2_browser_start(h, start->create, start->page_path, start->temp_file);
        }
    }
    start = nullptr; // lives on the creator's stack: not to be touched after the report

    bool ready = false;
    while (ok) {
        if (h->destroy_pending || h->quit_pending)
            break;
        MSG m;
        const BOOL got = GetMessageA(&m, nullptr, 0, 0);
        if (got <= 0) {
            ok = ready && got == 0;
            break;
        }
        if (m.hwnd == h->window && m.message == WM_GUI_READY) {
            ok = !ready && m.wParam == 1 && become_ready(h, child, parent);
            ready = ok;
            if (!ok)
                break;
            continue;
        }
        if (m.hwnd == h->window && m.message == WM_GUI_DESTROY)
            break;
        if (!serve_request(h, m)) {
            TranslateMessage(&m);
            DispatchMessageA(&m);
        }
    }

    gui_release(h, gui_class, com);
    if (!ready)
        h->window = nullptr; // a failed start: the creator learns it from the missing window
    h->gui_ended.store(true);
    ReleaseSemaphore(h->done_sem, 1, nullptr);
    return 0;
}

// ---- creation and teardown on the creator thread ------------------------------------------

// [creator] Frees what the creator made; the GUI thread has ended.
void host_free(GuiHost *h)
{
    if (h->thread) {
        wait_letting_sent_through(h->thread, nullptr);
        CloseHandle(h->thread);
    }
    if (h->gate_sem)
        CloseHandle(h->gate_sem);
    if (h->reply_sem)
        CloseHandle(h->reply_sem);
    if (h->other_sem)
        CloseHandle(h->other_sem);
    DeleteCriticalSection(&h->other_lock);
    if (h->relay_window)
        DestroyWindow(h->relay_window);
    UnregisterClassA(h->relay_class, nullptr);
    std::free(h->dispatch.values);
    if (h->done_sem)
        CloseHandle(h->done_sem);
    if (h->loader)
        FreeLibrary(h->loader);
    std::free(h);
}

// "<folder>\index.html" in UTF-16; null for text that is not UTF-8.
wchar_t *page_path_of(const char *folder)
{
    static const wchar_t k_page[] = L"\\index.html";
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, folder, -1, nullptr, 0);
    if (n <= 0)
        return nullptr;
    const size_t cap = static_cast<size_t>(n) + sizeof k_page / sizeof k_page[0];
    wchar_t *path = static_cast<wchar_t *>(std::malloc(cap * sizeof(wchar_t)));
    if (!path)
        return nullptr;
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, folder, -1, path, n);
    // Hosts may pass a folder that ends in a separator already.
    const size_t len = wcslen(path);
    wcscat(path, len && (path[len - 1] == L'\\' || path[len - 1] == L'/') ? k_page + 1 : k_page);
    return path;
}

} // namespace

GuiHost *gui_host_create(bool child, void *parent, const GuiHostDesc *desc, const GuiTextHandler *text_handler,
                         int32_t width, int32_t height, size_t value_count)
{
    if (!desc || !desc->loader_dir || !desc->page_dir || (child && !parent))
        return nullptr;
    const char *loader_dir = desc->loader_dir(desc->user);
    const char *page_dir = desc->page_dir(desc->user);
    if (!loader_dir || !page_dir)
        return nullptr;
    const size_t dll_cap = std::strlen(loader_dir) + 24;
    char *dll = static_cast<char *>(std::malloc(dll_cap));
    if (!dll)
        return nullptr;
    std::snprintf(dll, dll_cap, "%s\\WebView2Loader.dll", loader_dir);
    HMODULE loader = LoadLibraryA(dll);
    std::free(dll);
    if (!loader)
        return nullptr;
    auto create = reinterpret_cast<CreateCoreWebView2EnvironmentWithOptionsFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(loader, "CreateCoreWebView2EnvironmentWithOptions")));
    wchar_t *page_path = create ? page_path_of(page_dir) : nullptr;
    GuiHost *h = page_path ? static_cast<GuiHost *>(std::calloc(1, sizeof(GuiHost))) : nullptr;
    if (!h) {
        std::free(page_path);
        FreeLibrary(loader);
        return nullptr;
    }
    new (&h->in_callback) std::atomic<uint8_t>(0);
    new (&h->gui_ended) std::atomic<bool>(false);
    new (&h->creator_request.message) std::atomic<UINT>(0);
    new (&h->other_request.message) std::atomic<UINT>(0);
    new (&h->edit_pending) std::atomic<UINT>(0);
    InitializeCriticalSection(&h->other_lock);
    h->loader = loader;
    h->creator_thread_id = GetCurrentThreadId();
    h->done_sem = CreateSemaphoreA(nullptr, 0, 1, nullptr);
    h->desc = *desc;
    h->dispatch.user = h;
    h->dispatch.format_name = desc->format_name;
    h->dispatch.loader_dir = desc->loader_dir;
    h->dispatch.page_dir = desc->page_dir;
    h->dispatch.begin_edit = forward_begin;
    h->dispatch.perform_edit = forward_perform;
    h->dispatch.end_edit = forward_end;
    h->dispatch.text_user = text_handler ? text_handler->user : nullptr;
    h->dispatch.on_text = text_handler ? text_handler->on_text : nullptr;
    h->dispatch.value_count = value_count;
    h->dispatch.values = static_cast<float *>(std::calloc(value_count ? value_count : 1, sizeof(float)));
    h->dispatch.post = wv2_post_to_page;

    wchar_t temp_dir[262];
    wchar_t temp_file[262];
    bool have_temp = false;
    bool ok = h->done_sem && h->dispatch.values;
    if (ok) {
        const DWORD n = GetTempPathW(262, temp_dir);
        ok = n > 0 && n < 262 && GetTempFileNameW(temp_dir, L"dide", 0, temp_file) != 0;
        have_temp = ok;
    }
    if (ok) {
        std::snprintf(h->relay_class, sizeof h->relay_class, "d%llX",
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h)));
        WNDCLASSA wc{};
        wc.lpfnWndProc = relay_window_proc;
        wc.cbWndExtra = sizeof(void *);
        wc.lpszClassName = h->relay_class;
        ok = RegisterClassA(&wc) != 0;
    }
    if (ok) {
        // Message-only: it must outlive whatever the host does to its own
        // windows while an edit is on its way, and nothing else finds it.
        h->relay_window =
            CreateWindowExA(0, h->relay_class, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        ok = h->relay_window && attach_host(h->relay_window, h);
    }
    if (ok) {
        h->reply_sem = CreateSemaphoreA(nullptr, 0, 1, nullptr);
        h->gate_sem = CreateSemaphoreA(nullptr, 1, 1, nullptr);
        h->other_sem = CreateSemaphoreA(nullptr, 0, 1, nullptr);
        ok = h->reply_sem && h->gate_sem && h->other_sem;
    }
    if (ok) {
        StartBlock start{h, child, static_cast<HWND>(parent), width, height, create, page_path, temp_file};
        DWORD id = 0;
        h->thread = CreateThread(nullptr, 0, gui_thread_main, &start, 0, &id);
        h->gui_thread_id = id;
        // The GUI thread reports once: ready, or failed with no window left.
        ok = h->thread && wait_letting_sent_through(h->done_sem, h->thread) && h->window;
    }
    // The temporary file keeps its name, and so the user data folder's, taken
    // until the editor closes; only a failed start gives it back here.
    if (have_temp && !ok)
        DeleteFileW(temp_file);
    std::free(page_path);
    if (!ok) {
        host_free(h);
        return nullptr;
    }
    return h;
}

void gui_host_destroy(GuiHost *h)
{
    if (!h)
        return;
    // After the user closed a top-level editor the GUI thread is gone already:
    // there is nothing to ask, only the host to free.
    if (!h->gui_ended.load() && acquire_gate_creator(h)) {
        if (PostMessageA(h->window, WM_GUI_DESTROY, 0, 0))
            wait_letting_sent_through(h->done_sem, h->thread);
        ReleaseSemaphore(h->gate_sem, 1, nullptr);
    }
    host_free(h);
}

void gui_host_set_value(GuiHost *h, uint32_t index, float value)
{
    if (!h || index >= h->dispatch.value_count)
        return;
    const DWORD self = GetCurrentThreadId();
    if (self == h->gui_thread_id) {
        gui_protocol_send_value(&h->dispatch, index, value);
        return;
    }
    if (self == h->creator_thread_id && h->in_callback.load()) {
        // Inside an edit callback the GUI thread holds the gate and waits for
        // this thread: hand the value over the slot instead.
        h->slot_index = index;
        h->slot_value = value;
        ReleaseSemaphore(h->reply_sem, 1, nullptr);
        wait_letting_sent_through(h->done_sem, h->thread);
        return;
    }
    request(h, WM_GUI_SET_VALUE, index, static_cast<LPARAM>(float_bits(value)));
}

void gui_host_post_text(GuiHost *h, const char *text)
{
    if (!h || !text)
        return;
    if (GetCurrentThreadId() == h->gui_thread_id) {
        gui_protocol_send_text(&h->dispatch, text);
        return;
    }
    request(h, WM_GUI_POST_TEXT, 0, reinterpret_cast<LPARAM>(text));
}

void gui_host_idle(GuiHost *) {}

void *gui_host_window(GuiHost *h) { return h && !h->gui_ended.load() ? h->window : nullptr; }

namespace {

// Between two code pages through UTF-16; null if a character has no place.
char *convert_path(const char *text, UINT from, UINT to)
{
    if (!text)
        return nullptr;
    const int wide = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (wide <= 0)
        return nullptr;
    wchar_t *w = static_cast<wchar_t *>(std::malloc(static_cast<size_t>(wide) * sizeof(wchar_t)));
    if (!w)
        return nullptr;
    MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text, -1, w, wide);
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(to, 0, w, -1, nullptr, 0, nullptr, to == CP_UTF8 ? nullptr : &lossy);
    char *out = n > 0 && !lossy ? static_cast<char *>(std::malloc(static_cast<size_t>(n))) : nullptr;
    if (out)
        WideCharToMultiByte(to, 0, w, -1, out, n, nullptr, nullptr);
    std::free(w);
    return out;
}

} // namespace

char *gui_host_path_to_utf8(const char *ansi) { return convert_path(ansi, CP_ACP, CP_UTF8); }
char *gui_host_path_from_utf8(const char *utf8) { return convert_path(utf8, CP_UTF8, CP_ACP); }
