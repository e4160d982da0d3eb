// What the Win32 GUI host and its browser share: the host object, the
// private window messages and the browser's entries. Windows only.
#pragma once
#include "gui_host.h"
#include "gui_protocol.h"
#include "webview2.h"

#include <atomic>

// Private messages; the value travels as the bits of a 32-bit float in the
// low half of lParam. Recognised only when addressed to our own windows.
enum : UINT {
    WM_GUI_READY = WM_APP + 0,        // to the GUI window: wParam 1 ready, 0 failed
    WM_GUI_DESTROY = WM_APP + 1,      // to the GUI window: tear the GUI thread down
    WM_GUI_SET_VALUE = WM_APP + 2,    // to the GUI window: wParam index, lParam value bits
    WM_GUI_POST_TEXT = WM_APP + 3,    // to the GUI window: lParam UTF-8 text
    WM_GUI_BEGIN_EDIT = WM_APP + 4,   // to the relay window: wParam index, lParam value bits
    WM_GUI_PERFORM_EDIT = WM_APP + 5, // to the relay window
    WM_GUI_END_EDIT = WM_APP + 6,     // to the relay window
};
// Set in lParam of a set-value or post-text request from a thread other than
// the creator: it is answered on other_sem instead of done_sem.
constexpr LPARAM k_gui_from_other_thread = LPARAM(1) << 62; // no user-mode pointer has it

struct Wv2Browser;

// A set-value or post-text request on its way to the GUI thread: the message
// it was posted as (0: none) and, for a text, the pointer handed over.
struct GuiRequest {
    std::atomic<UINT> message;
    const char *text;
};

struct GuiHost {
    HWND window; // the GUI window (made on the GUI thread; null when start-up failed)
    HMODULE loader;
    DWORD creator_thread_id;
    HANDLE done_sem; // released by the GUI thread once per finished creator request
    DWORD gui_thread_id;
    ICoreWebView2Controller *controller; // one reference, once the browser is ready
    GuiHostDesc desc;
    GuiDispatch dispatch;
    char relay_class[24];
    HWND relay_window;                // message-only, belongs to the creator thread
    HANDLE reply_sem;                 // released by the creator after an edit callback or a slot hand-over
    HANDLE gate_sem;                  // the one lock: held for each synchronous exchange
    std::atomic<uint8_t> in_callback; // 1 while the creator runs an edit callback
    uint32_t slot_index;              // a value handed over from inside an edit callback
    float slot_value;
    HANDLE thread;                  // the GUI thread, joined before the host is freed
    GuiRequest creator_request;     // under the gate
    GuiRequest other_request;       // under other_lock
    std::atomic<UINT> edit_pending; // the edit message the GUI thread posted to the relay window
    HANDLE other_sem;               // answers requests of threads other than the creator
    CRITICAL_SECTION other_lock;    // one such request at a time
    std::atomic<bool> gui_ended;    // the GUI thread has torn down (or failed to start)
    bool destroy_pending;           // GUI thread: a destroy request met while draining
    bool quit_pending;              // GUI thread: the window went away while draining
    Wv2Browser *browser;            // GUI thread
};

// [gui] Starts the browser in the GUI window; it ends in one WM_GUI_READY.
// False when it failed before the runtime took over (nothing is posted then).
bool wv2_browser_start(GuiHost *h, CreateCoreWebView2EnvironmentWithOptionsFn create, const wchar_t *page_path,
                       const wchar_t *temp_file);
// [gui] Closes and releases the controller, deletes the user data folder,
// releases the browser's own objects. Safe at any stage of start-up.
void wv2_browser_teardown(GuiHost *h);
// [gui] Posts one text to the page through the controller; skipped without one.
void wv2_post_to_page(GuiHost *h, const char16_t *text);
// The decision for a URI the page wants to leave for: true when it may be
// handed to the system's browser (http, https or mailto, with no quote or
// control character).
bool wv2_may_open_outside(const wchar_t *uri);
