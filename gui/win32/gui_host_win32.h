// What the Win32 GUI host and its browser share: the host object, the
// private window messages and the browser's entries.
//
// Threads: the plug-in host's main thread (the creator of the GuiHost, tag
// [main]) and the editor's GUI thread ([gui]), which owns the GUI window, the
// browser and the value cache. They talk only through the messages below; a
// synchronous exchange holds the gate semaphore, which both sides take by
// polling while they serve the other side, so neither waits for the other
// for good. Every wait also ends once the GUI thread is done with the host
// (gui_gone); the thread itself may live on a while after that, holding the
// plug-in's module and the loader, to delete the browser's user data folder
// once the runtime reports its processes gone.
//
// | message             | posted by                 | to           | handled by          | answered on           |
// |---------------------|---------------------------|--------------|---------------------|-----------------------|
// | WM_GUI_READY        | [gui] browser completion  | GUI window   | [gui] message loop  | done_sem (the start)  |
// | WM_GUI_DESTROY      | [main] under the gate     | GUI window   | [gui] message loop  | gui_gone              |
// | WM_GUI_SET_VALUE    | [main] under the gate     | GUI window   | [gui] serve_request | done_sem              |
// |                     | other threads, other_lock | GUI window   | [gui] serve_request | other_sem             |
// | WM_GUI_POST_TEXT    | as WM_GUI_SET_VALUE       |              |                     |                       |
// | WM_GUI_..._EDIT     | [gui] under the gate      | relay window | [main] relay proc   | reply_sem             |
// | WM_GUI_MENU         | [gui] under the gate      | relay window | [main] relay proc   | reply_sem             |
// | (slot hand-over)    | [main] inside an edit     | reply_sem    | [gui] forward()     | done_sem              |
#pragma once
#include "gui/gui_host.h"
#include "gui/gui_protocol.h"
#include "webview2.h"

#include <atomic>

// Private messages; a value travels as the bits of a 32-bit float in the low
// half of lParam. Recognised only when addressed to our own windows.
enum : UINT {
    WM_GUI_READY = WM_APP + 0,     // wParam 1 ready, 0 failed; lParam the failure's HRESULT
    WM_GUI_DESTROY = WM_APP + 1,   // tear the GUI thread down
    WM_GUI_SET_VALUE = WM_APP + 2, // wParam index, lParam value bits
    WM_GUI_POST_TEXT = WM_APP + 3, // lParam UTF-8 text
    // To the relay window, one per GuiEditStep in its order: wParam index, lParam value bits.
    WM_GUI_BEGIN_EDIT = WM_APP + 4,
    WM_GUI_PERFORM_EDIT = WM_APP + 5,
    WM_GUI_END_EDIT = WM_APP + 6,
    WM_GUI_MENU = WM_APP + 7, // to the relay window: wParam index, lParam x << 32 | y
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
    // Set by the creator before the GUI thread starts; read-only afterwards.
    GuiHostDesc desc;
    GuiTextHandler text_handler; // on_text null: none
    DWORD creator_thread_id;
    HMODULE loader;              // WebView2Loader.dll, freed last
    char relay_class[24];        // the relay window's class
    HWND relay_window;           // message-only, a window of the creator thread
    HANDLE gate_sem;             // the one lock of every synchronous exchange
    HANDLE done_sem;             // [gui] answers the creator's requests and the start-up
    HANDLE reply_sem;            // [main] answers an edit, or hands a value over the slot
    HANDLE other_sem;            // [gui] answers the requests of other threads
    CRITICAL_SECTION other_lock; // one request of another thread at a time
    HANDLE thread;               // the GUI thread; not joined, it may outlive the host
    HANDLE gui_gone;             // [gui] set, last, once the GUI thread no longer touches the host
    DWORD gui_thread_id;

    // The GUI thread's.
    HWND window;                         // made on the GUI thread; published by the start-up report
    ICoreWebView2Controller *controller; // one reference, once the browser is ready
    Wv2Browser *browser;
    GuiDispatch dispatch;    // the page protocol and its value cache
    bool destroy_pending;    // a destroy request met while waiting for the gate
    bool quit_pending;       // the window went away while waiting for the gate
    const char *failed_step; // why the start failed, read by the creator after the report
    HRESULT failed_result;

    // Between the threads.
    std::atomic<HWND> shown_window;   // the window while it is up: cleared before it is destroyed
    std::atomic<bool> gui_ended;      // the GUI thread has torn down (or failed to start)
    std::atomic<UINT> edit_pending;   // the edit the GUI thread posted to the relay window
    std::atomic<uint8_t> in_callback; // 1 while the creator runs an edit call
    GuiRequest creator_request;       // under the gate
    GuiRequest other_request;         // under other_lock
    uint32_t slot_index;              // a value handed over from inside an edit call
    float slot_value;

    // The creator's.
    GuiEditFrames frames; // closed: no more edits reach the front end; torn down when the last frame returns
};

// The browser's user data folder: one per editor in the user's temporary
// folder, "did<hex>", named after the temporary file "did<hex>.tmp" that
// keeps the name taken until the folder is gone. The marker file in it, with
// its text, proves it an editor's of this plug-in; the editor holds it open
// without sharing while the folder is in use, so a sweep in any process
// skips it.
struct Wv2UserData {
    wchar_t folder[MAX_PATH + 2]; // empty: none (or handed over)
    HANDLE marker;                // held open while in use
};
extern const wchar_t k_wv2_marker_name[];
extern const char k_wv2_marker_text[];
// How long a closed editor waits for the runtime to report its browser
// processes gone before it leaves the folder for a later sweep.
constexpr DWORD k_wv2_exit_wait_ms = 10000;

// [main] Reserves a name and makes the folder with its marker held.
HRESULT wv2_user_data_make(Wv2UserData *d);
// [any but audio] Deletes the folder, the marker last, then its temporary
// file, and lets the marker go. What cannot go yet (files the browser still
// holds) stays with the marker for a later sweep: false then.
bool wv2_user_data_remove(Wv2UserData *d);
// [any but audio] Lets the marker go and leaves the folder for a later sweep.
void wv2_user_data_leave(Wv2UserData *d);
// [any but audio] Removes the folders that earlier editors of this plug-in
// left in the temporary folder and nobody uses, looking at a few dozen and
// for a few milliseconds at most; folders without our marker are never
// touched. Returns how many went.
int wv2_user_data_sweep(void);

// [gui] Starts the browser in the GUI window; it ends in one WM_GUI_READY.
// It takes the user data (emptying *user_data) unless it fails before that.
// While the runtime starts, it sweeps what earlier editors left.
// A failure before the runtime took over returns its HRESULT (nothing is
// posted then).
HRESULT wv2_browser_start(GuiHost *h, CreateCoreWebView2EnvironmentWithOptionsFn create, const wchar_t *page_path,
                          Wv2UserData *user_data);
// [gui] Closes and releases the controller and gives up the browser. Where
// the runtime reports its browser processes' exit, returns the browser,
// whose user data folder waits for that report (wv2_browser_await_exit);
// otherwise deletes the folder now, as far as it can, and returns null.
// Safe at any stage of start-up.
Wv2Browser *wv2_browser_teardown(GuiHost *h);
// [gui] Runs this thread's messages until the runtime reports the browser
// processes gone or k_wv2_exit_wait_ms have passed, deletes the user data
// folder (on time-out leaves it for a later sweep) and frees the browser.
// Touches no host: the host may be gone.
void wv2_browser_await_exit(Wv2Browser *b);
// [gui] Posts one UTF-8 text to the page through the controller; skipped
// without one. `ctx` is the host.
void wv2_post_to_page(void *ctx, const char *text);
// The decision for a URI the page wants to leave for: true when it may be
// handed to the system's browser (http, https or mailto, with no quote or
// control character).
bool wv2_may_open_outside(const wchar_t *uri);
