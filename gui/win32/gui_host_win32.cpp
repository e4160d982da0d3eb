// The GUI host on Windows: its GUI thread, the GUI window and the relay
// window, and the synchronous calls between the creator thread (the plug-in
// host's main thread) and the GUI thread; the protocol is the table in
// gui_host_win32.h.
#include "gui_host_win32.h"

#include "core/float_bits.h"
#include "zfen_product.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

float float_of(LPARAM lp) { return float_from_bits(static_cast<uint32_t>(lp & 0xFFFFFFFF)); }

GuiHost *host_of(HWND w) { return reinterpret_cast<GuiHost *>(GetWindowLongPtrA(w, 0)); }

// Stores the host in a window's extra memory; a zero result with an error
// set is a failure.
bool attach_host(HWND w, GuiHost *h)
{
    SetLastError(0);
    return SetWindowLongPtrA(w, 0, reinterpret_cast<LONG_PTR>(h)) != 0 || GetLastError() == 0;
}

HRESULT last_error_result() { return HRESULT_FROM_WIN32(GetLastError()); }

// Waits for `object` while letting messages sent to this thread's windows
// through: a cross-thread SetParent or DestroyWindow on the other side waits
// for them. Posted messages stay queued. Also returns, false, once `ended`
// (gui_gone, may be null) is set, so nobody waits on a GUI thread that is
// done.
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

// [main] One line on why the editor did not open, through the front end's
// log or the system's debug output.
void log_failure(const GuiHostDesc &desc, const char *step, HRESULT result)
{
    char line[160];
    if (result == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) && std::strcmp(step, "starting the browser") == 0)
        std::snprintf(line, sizeof line, "%s editor: WebView2 runtime not installed", ZFEN_NAME);
    else
        std::snprintf(line, sizeof line, "%s editor: %s failed (HRESULT 0x%08lX)", ZFEN_NAME, step,
                      static_cast<unsigned long>(result));
    if (desc.log) {
        desc.log(desc.edit.user, line);
    } else {
        OutputDebugStringA(line);
        OutputDebugStringA("\n");
    }
}

// ---- the creator's side ------------------------------------------------------------------

void teardown(GuiHost *h);

// [main] A call of ours that may run an edit, and so the front end's destroy,
// before it returns: the host stays until the outermost one has returned.
void frame_enter(GuiHost *h) { gui_frames_enter(&h->frames); }
// [main] The last thing a frame does: the host may be gone afterwards.
void frame_leave(GuiHost *h)
{
    if (gui_frames_leave(&h->frames))
        teardown(h);
}

// [main] Takes the gate, serving the edits a GUI thread holding it forwards.
// With `until_closed`, gives up once an edit's call destroyed the host.
bool acquire_gate_creator(GuiHost *h, bool until_closed)
{
    for (;;) {
        if (until_closed && h->frames.closed)
            return false;
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

// [any but audio] Posts one request to the GUI thread and waits for its
// answer. The creator holds the gate meanwhile; other threads queue on their
// own lock and are answered on their own semaphore.
void request(GuiHost *h, UINT message, WPARAM wp, LPARAM lp)
{
    if (h->gui_ended.load())
        return;
    const char *text = message == WM_GUI_POST_TEXT ? reinterpret_cast<const char *>(lp) : nullptr;
    if (GetCurrentThreadId() == h->creator_thread_id) {
        frame_enter(h);
        if (acquire_gate_creator(h, true)) {
            h->creator_request.text = text;
            h->creator_request.message.store(message);
            if (PostMessageA(h->window, message, wp, lp))
                wait_letting_sent_through(h->done_sem, h->gui_gone);
            h->creator_request.message.store(0);
            ReleaseSemaphore(h->gate_sem, 1, nullptr);
        }
        frame_leave(h);
        return;
    }
    EnterCriticalSection(&h->other_lock);
    h->other_request.text = text;
    h->other_request.message.store(message);
    if (PostMessageA(h->window, message, wp, lp | k_gui_from_other_thread)) {
        HANDLE handles[2] = {h->other_sem, h->gui_gone};
        WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    }
    h->other_request.message.store(0);
    LeaveCriticalSection(&h->other_lock);
}

// [main] Runs a page edit or menu request for the GUI thread, which waits for
// exactly one answer. Once the host is closing, the front end hears no more.
LRESULT CALLBACK relay_window_proc(HWND w, UINT message, WPARAM wp, LPARAM lp)
{
    GuiHost *h = host_of(w);
    if (!h || message < WM_GUI_BEGIN_EDIT || message > WM_GUI_MENU)
        return DefWindowProcA(w, message, wp, lp);
    if (h->edit_pending.exchange(0) != message)
        return 0; // not what the GUI thread is forwarding
    if (h->frames.closed) {
        ReleaseSemaphore(h->reply_sem, 1, nullptr);
        return 0;
    }
    frame_enter(h);
    h->in_callback.store(1);
    const uint32_t index = static_cast<uint32_t>(wp);
    if (message == WM_GUI_MENU)
        gui_edit_menu(&h->desc.edit, index, static_cast<int32_t>(static_cast<uint64_t>(lp) >> 32),
                      static_cast<int32_t>(lp & 0x7FFFFFFF));
    else
        gui_edit_step(&h->desc.edit, static_cast<GuiEditStep>(message - WM_GUI_BEGIN_EDIT), index, float_of(lp),
                      &h->frames.closed);
    h->in_callback.store(0);
    ReleaseSemaphore(h->reply_sem, 1, nullptr);
    frame_leave(h);
    return 0;
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

// [gui] One page edit or menu request, carried synchronously to the creator
// thread. A value the plug-in side sets from inside the call comes back over
// the slot and reaches the page before the exchange ends.
void relay(GuiHost *h, UINT message, WPARAM wp, LPARAM lp)
{
    if (!acquire_gate_gui(h))
        return;
    h->edit_pending.store(message);
    if (PostMessageA(h->relay_window, message, wp, lp)) {
        wait_letting_sent_through(h->reply_sem, nullptr);
        while (h->in_callback.load()) {
            gui_protocol_send_value(&h->dispatch, h->slot_index, h->slot_value);
            ReleaseSemaphore(h->done_sem, 1, nullptr);
            wait_letting_sent_through(h->reply_sem, nullptr);
        }
    }
    ReleaseSemaphore(h->gate_sem, 1, nullptr);
}

void forward_edit(void *ctx, GuiEditStep step, uint32_t index, float value)
{
    relay(static_cast<GuiHost *>(ctx), WM_GUI_BEGIN_EDIT + static_cast<UINT>(step), index,
          static_cast<LPARAM>(float_bits(value)));
}

void forward_menu(void *ctx, uint32_t index, int32_t x, int32_t y)
{
    relay(static_cast<GuiHost *>(ctx), WM_GUI_MENU, index,
          static_cast<LPARAM>(static_cast<uint64_t>(x) << 32 | static_cast<uint32_t>(y)));
}

// [gui] A page's "m" text for the front end's text handler.
void deliver_text(void *ctx, const char *text)
{
    GuiHost *h = static_cast<GuiHost *>(ctx);
    h->text_handler.on_text(h, h->text_handler.user, text);
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

// What the creator hands the GUI thread; lives on the creator's stack until
// the GUI thread's start-up report.
struct StartBlock {
    GuiHost *host;
    bool child;
    HWND parent;
    int32_t width;
    int32_t height;
    CreateCoreWebView2EnvironmentWithOptionsFn create;
    wchar_t *page_path;
    Wv2UserData user_data; // the browser takes it
    HMODULE self_pin;      // the plug-in's module and the loader, held by
    HMODULE loader_pin;    // the GUI thread until it ends
};

// [gui] Records why the start failed, for the creator's log line.
bool start_failed(GuiHost *h, const char *step, HRESULT result)
{
    h->failed_step = step;
    h->failed_result = result;
    return false;
}

// [gui] The window class, the hidden (child) or shown (top-level) window, COM
// and the browser's start; false at the first step that fails.
bool gui_start(GuiHost *h, StartBlock *start, const char *gui_class, bool *com)
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = gui_window_proc;
    wc.cbWndExtra = sizeof(void *);
    wc.hCursor = static_cast<HCURSOR>(LoadImageA(nullptr, IDC_ARROW, IMAGE_CURSOR, 0, 0, LR_SHARED));
    wc.lpszClassName = gui_class;
    if (!wc.hCursor || !RegisterClassA(&wc))
        return start_failed(h, "registering the editor window's class", last_error_result());
    h->window = start->child ? CreateWindowExA(WS_EX_NOACTIVATE, gui_class, "", 0, 0, 0, start->width, start->height,
                                               nullptr, nullptr, nullptr, nullptr)
                             : CreateWindowExA(0, gui_class, "", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, start->width,
                                               start->height, nullptr, nullptr, nullptr, nullptr);
    if (!h->window)
        return start_failed(h, "creating the editor window", last_error_result());
    if (start->child) {
        // Hidden and frameless until it has its parent.
        SetLastError(0);
        if (!SetWindowLongPtrA(h->window, GWL_STYLE, 0) && GetLastError() != 0)
            return start_failed(h, "creating the editor window", last_error_result());
    }
    if (!attach_host(h->window, h))
        return start_failed(h, "creating the editor window", last_error_result());
    const HRESULT com_result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    *com = SUCCEEDED(com_result);
    if (!*com)
        return start_failed(h, "initialising COM", com_result);
    const HRESULT started = wv2_browser_start(h, start->create, start->page_path, &start->user_data);
    return SUCCEEDED(started) || start_failed(h, "starting the browser", started);
}

// [gui] The ready step: parent, frame, show. The report lets gui_host_create
// return before the window is shown.
bool become_ready(GuiHost *h, bool child, HWND parent)
{
    if (!h->controller)
        return start_failed(h, "starting the browser", E_POINTER);
    if (child) {
        SetLastError(0);
        if (!SetParent(h->window, parent) && GetLastError() != 0)
            return start_failed(h, "placing the editor in the host's window", last_error_result());
    }
    if (!SetWindowPos(h->window, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED))
        return start_failed(h, "placing the editor in the host's window", last_error_result());
    const HRESULT visible = h->controller->vtbl->put_IsVisible(h->controller, TRUE);
    if (FAILED(visible))
        return start_failed(h, "showing the browser", visible);
    h->shown_window.store(h->window);
    if (!ReleaseSemaphore(h->done_sem, 1, nullptr)) {
        h->shown_window.store(nullptr);
        return start_failed(h, "reporting the editor ready", last_error_result());
    }
    ShowWindow(h->window, SW_SHOW);
    return true;
}

// [gui] What the GUI thread holds for the host, released in reverse; the
// window is destroyed (a child window's destruction talks to its parent's
// thread, which lets sent messages through while it waits). Returns the
// browser when its user data waits for the runtime's word.
Wv2Browser *gui_release(GuiHost *h, const char *gui_class)
{
    h->shown_window.store(nullptr); // before it starts to go: no caller gets a dying handle
    Wv2Browser *waiting = wv2_browser_teardown(h);
    if (h->window)
        DestroyWindow(h->window);
    UnregisterClassA(gui_class, nullptr);
    return waiting;
}

DWORD WINAPI gui_thread_main(void *arg)
{
    StartBlock *start = static_cast<StartBlock *>(arg);
    GuiHost *h = start->host;
    const bool child = start->child;
    const HWND parent = start->parent;
    const HMODULE self_pin = start->self_pin;
    const HMODULE loader_pin = start->loader_pin;
    char gui_class[32];
    std::snprintf(gui_class, sizeof gui_class, "c%llX",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h)));
    bool com = false;
    bool ok = gui_start(h, start, gui_class, &com);
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
            if (ready || m.wParam != 1)
                ok = start_failed(h, "starting the browser", ready ? E_UNEXPECTED : static_cast<HRESULT>(m.lParam));
            else
                ok = become_ready(h, child, parent);
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

    Wv2Browser *waiting = gui_release(h, gui_class);
    if (!ready)
        h->window = nullptr; // a failed start: the creator learns it from the missing window
    h->gui_ended.store(true);
    SetEvent(h->gui_gone); // the last touch of the host: it may be freed from here on

    // The browser's processes may still hold files in the user data folder;
    // the host, and the plug-in's host, need not wait for them.
    if (waiting)
        wv2_browser_await_exit(waiting);
    if (com)
        CoUninitialize();
    FreeLibrary(loader_pin);
    FreeLibraryAndExitThread(self_pin, 0);
}

// ---- creation and teardown on the creator thread ------------------------------------------

// [main] Frees what the creator made, each part once, as far as it was made;
// the GUI thread has ended or never started.
void host_free(GuiHost *h)
{
    if (h->thread) {
        wait_letting_sent_through(h->gui_gone, nullptr);
        CloseHandle(h->thread);
    }
    for (HANDLE s : {h->gate_sem, h->reply_sem, h->other_sem, h->done_sem, h->gui_gone})
        if (s)
            CloseHandle(s);
    DeleteCriticalSection(&h->other_lock);
    if (h->relay_window)
        DestroyWindow(h->relay_window);
    UnregisterClassA(h->relay_class, nullptr);
    std::free(h->dispatch.values);
    if (h->loader)
        FreeLibrary(h->loader);
    std::free(h);
}

// [main] Asks the GUI thread to end and frees the host; edits that arrive
// meanwhile are answered without reaching the front end.
void teardown(GuiHost *h)
{
    gui_frames_close(&h->frames);
    gui_frames_enter(&h->frames); // edits served below must not free the host under us
    // After the user closed a top-level editor the GUI thread is gone already.
    if (!h->gui_ended.load() && acquire_gate_creator(h, false)) {
        if (PostMessageA(h->window, WM_GUI_DESTROY, 0, 0))
            wait_letting_sent_through(h->gui_gone, nullptr);
        ReleaseSemaphore(h->gate_sem, 1, nullptr);
    }
    host_free(h);
}

// The creation steps; each returns S_OK or why it failed, and leaves what it
// made in the host or the start block for the one clean-up.
HRESULT load_loader(StartBlock *s)
{
    GuiHost *h = s->host;
    const char *dir = h->desc.loader_dir(h->desc.edit.user);
    if (!dir)
        return E_INVALIDARG;
    const size_t cap = std::strlen(dir) + 24;
    char *dll = static_cast<char *>(std::malloc(cap));
    if (!dll)
        return E_OUTOFMEMORY;
    std::snprintf(dll, cap, "%s\\WebView2Loader.dll", dir);
    h->loader = LoadLibraryA(dll);
    const HRESULT loaded = h->loader ? S_OK : last_error_result();
    std::free(dll);
    if (FAILED(loaded))
        return loaded;
    s->create = reinterpret_cast<CreateCoreWebView2EnvironmentWithOptionsFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(h->loader, "CreateCoreWebView2EnvironmentWithOptions")));
    return s->create ? S_OK : last_error_result();
}

// "<page folder>\index.html" in UTF-16; a folder that is not UTF-8 fails.
HRESULT find_page(StartBlock *s)
{
    static const wchar_t k_page[] = L"\\index.html";
    const char *folder = s->host->desc.page_dir(s->host->desc.edit.user);
    const int n = folder ? MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, folder, -1, nullptr, 0) : 0;
    if (n <= 0)
        return E_INVALIDARG;
    const size_t cap = static_cast<size_t>(n) + sizeof k_page / sizeof k_page[0];
    s->page_path = static_cast<wchar_t *>(std::malloc(cap * sizeof(wchar_t)));
    if (!s->page_path)
        return E_OUTOFMEMORY;
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, folder, -1, s->page_path, n);
    // Hosts may pass a folder that ends in a separator already.
    const size_t len = wcslen(s->page_path);
    wcscat(s->page_path,
           len && (s->page_path[len - 1] == L'\\' || s->page_path[len - 1] == L'/') ? k_page + 1 : k_page);
    return S_OK;
}

// The browser's user data folder, with its marker held.
HRESULT reserve_user_data(StartBlock *s) { return wv2_user_data_make(&s->user_data); }

// Message-only: it must outlive whatever the host does to its own windows
// while an edit is on its way, and nothing else finds it.
HRESULT make_relay_window(StartBlock *s)
{
    GuiHost *h = s->host;
    std::snprintf(h->relay_class, sizeof h->relay_class, "d%llX",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(h)));
    WNDCLASSA wc{};
    wc.lpfnWndProc = relay_window_proc;
    wc.cbWndExtra = sizeof(void *);
    wc.lpszClassName = h->relay_class;
    if (!RegisterClassA(&wc))
        return last_error_result();
    h->relay_window = CreateWindowExA(0, h->relay_class, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    return h->relay_window && attach_host(h->relay_window, h) ? S_OK : last_error_result();
}

HRESULT make_semaphores(StartBlock *s)
{
    GuiHost *h = s->host;
    h->done_sem = CreateSemaphoreA(nullptr, 0, 1, nullptr);
    h->reply_sem = CreateSemaphoreA(nullptr, 0, 1, nullptr);
    h->gate_sem = CreateSemaphoreA(nullptr, 1, 1, nullptr);
    h->other_sem = CreateSemaphoreA(nullptr, 0, 1, nullptr);
    h->gui_gone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return h->done_sem && h->reply_sem && h->gate_sem && h->other_sem && h->gui_gone ? S_OK : last_error_result();
}

// The GUI thread reports once: ready, or failed with its window gone and
// the failing step recorded. It holds the plug-in's module and the loader
// while it lives: a plug-in host may unload the plug-in right after closing
// the editor, while the thread still waits to delete the browser's data.
HRESULT start_gui_thread(StartBlock *s)
{
    GuiHost *h = s->host;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&gui_thread_main),
                            &s->self_pin))
        return last_error_result();
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(s->create),
                            &s->loader_pin)) {
        const HRESULT hr = last_error_result();
        FreeLibrary(s->self_pin);
        return hr;
    }
    DWORD id = 0;
    h->thread = CreateThread(nullptr, 0, gui_thread_main, s, 0, &id);
    if (!h->thread) {
        const HRESULT hr = last_error_result();
        FreeLibrary(s->loader_pin);
        FreeLibrary(s->self_pin);
        return hr;
    }
    h->gui_thread_id = id;
    if (wait_letting_sent_through(h->done_sem, h->gui_gone) && h->window)
        return S_OK;
    return h->failed_step ? h->failed_result : E_FAIL;
}

struct CreateStep {
    const char *what;
    HRESULT (*run)(StartBlock *s);
};
const CreateStep k_create_steps[] = {
    {"loading WebView2Loader.dll", load_loader},
    {"finding the page", find_page},
    {"reserving the user data folder", reserve_user_data},
    {"creating the relay window", make_relay_window},
    {"creating semaphores", make_semaphores},
    {"starting the GUI thread", start_gui_thread},
};

// [main] The host with its value cache, nothing started yet.
GuiHost *host_alloc(const GuiHostDesc *desc, const GuiTextHandler *text_handler, size_t value_count)
{
    GuiHost *h = static_cast<GuiHost *>(std::calloc(1, sizeof(GuiHost)));
    if (!h)
        return nullptr;
    new (&h->shown_window) std::atomic<HWND>(nullptr);
    new (&h->gui_ended) std::atomic<bool>(false);
    new (&h->edit_pending) std::atomic<UINT>(0);
    new (&h->in_callback) std::atomic<uint8_t>(0);
    new (&h->creator_request.message) std::atomic<UINT>(0);
    new (&h->other_request.message) std::atomic<UINT>(0);
    InitializeCriticalSection(&h->other_lock);
    h->desc = *desc;
    h->creator_thread_id = GetCurrentThreadId();
    h->dispatch.ctx = h;
    h->dispatch.edit = forward_edit;
    h->dispatch.menu = forward_menu;
    h->dispatch.post = wv2_post_to_page;
    h->dispatch.value_count = value_count;
    h->dispatch.values = static_cast<float *>(std::calloc(value_count ? value_count : 1, sizeof(float)));
    if (text_handler && text_handler->on_text) {
        h->text_handler = *text_handler;
        h->dispatch.on_text = deliver_text;
    }
    if (!h->dispatch.values) {
        host_free(h);
        return nullptr;
    }
    return h;
}

} // namespace

GuiHost *gui_host_create(bool child, void *parent, const GuiHostDesc *desc, const GuiTextHandler *text_handler,
                         int32_t width, int32_t height, size_t value_count)
{
    if (!desc || !desc->loader_dir || !desc->page_dir || !desc->edit.current || !desc->edit.touch || !desc->edit.set ||
        (child && !parent))
        return nullptr;
    GuiHost *h = host_alloc(desc, text_handler, value_count);
    if (!h) {
        log_failure(*desc, "allocating the editor", E_OUTOFMEMORY);
        return nullptr;
    }
    StartBlock start{h, child, static_cast<HWND>(parent), width, height, nullptr, nullptr, {}, nullptr, nullptr};
    HRESULT result = S_OK;
    const char *failed = nullptr;
    for (const CreateStep &step : k_create_steps) {
        result = step.run(&start);
        if (FAILED(result)) {
            failed = h->failed_step ? h->failed_step : step.what;
            break;
        }
    }
    std::free(start.page_path);
    if (!failed)
        return h;
    log_failure(h->desc, failed, result);
    host_free(h);
    wv2_user_data_remove(&start.user_data); // unless the browser took it
    return nullptr;
}

void gui_host_destroy(GuiHost *h)
{
    if (!h)
        return;
    if (gui_frames_close(&h->frames))
        teardown(h); // otherwise the outermost frame of ours does
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
        // Inside an edit call the GUI thread holds the gate and waits for
        // this thread: hand the value over the slot instead.
        h->slot_index = index;
        h->slot_value = value;
        ReleaseSemaphore(h->reply_sem, 1, nullptr);
        wait_letting_sent_through(h->done_sem, h->gui_gone);
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

bool gui_host_idle(GuiHost *h) { return h && !h->gui_ended.load(); }

void *gui_host_window(GuiHost *h) { return h ? h->shown_window.load() : nullptr; }

int gui_host_fd(GuiHost *) { return -1; }

void gui_host_set_size(GuiHost *h, int32_t width, int32_t height, float)
{
    // The browser scales with the display by itself.
    if (HWND w = h ? h->shown_window.load() : nullptr)
        SetWindowPos(w, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOOWNERZORDER);
}

bool gui_host_size(GuiHost *h, int32_t *width, int32_t *height)
{
    RECT r;
    HWND w = h ? h->shown_window.load() : nullptr;
    if (!w || !GetWindowRect(w, &r))
        return false;
    *width = r.right - r.left;
    *height = r.bottom - r.top;
    return *width > 0 && *height > 0;
}

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
