// Steering exports of the stand-in WebView2Loader.dll (tests only). A test
// loads the DLL by the same path as the editor, so both see one module and
// one state. Functions that run something on the GUI thread (the thread that
// created the environment) post to it and wait at most STANDIN_WAIT_MS.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// Which step fails (one at a time), with the code given to standin_configure.
enum StandinFailStep : int {
    STANDIN_FAIL_NONE = 0,
    STANDIN_FAIL_ENVIRONMENT_CALL = 1,   // CreateCoreWebView2EnvironmentWithOptions returns the code
    STANDIN_FAIL_ENVIRONMENT_INVOKE = 2, // the call succeeds; Invoke(code, null) follows
    STANDIN_FAIL_CONTROLLER_CALL = 3,    // CreateCoreWebView2Controller returns the code
    STANDIN_FAIL_CONTROLLER_INVOKE = 4,  // the call succeeds; Invoke(code, null) follows
    STANDIN_FAIL_CONTROLLER_NULL = 5,    // Invoke(S_OK, null)
    STANDIN_FAIL_NAVIGATE = 6,           // ICoreWebView2::Navigate returns the code
    STANDIN_FAIL_SCRIPT_SETTING = 7,     // put_IsScriptEnabled returns the code
    STANDIN_FAIL_POST_MESSAGE = 8,       // PostWebMessageAsString returns the code
};

// Optional interfaces a runtime may lack (bits for standin_configure).
enum StandinAbsent : unsigned {
    STANDIN_ABSENT_CONTROLLER4 = 1u << 0,
    STANDIN_ABSENT_SETTINGS3 = 1u << 1,
    STANDIN_ABSENT_SETTINGS4 = 1u << 2,
    STANDIN_ABSENT_SETTINGS5 = 1u << 3,
    STANDIN_ABSENT_SETTINGS6 = 1u << 4,
    STANDIN_ABSENT_ENVIRONMENT5 = 1u << 5, // no ICoreWebView2Environment5: no BrowserProcessExited
    STANDIN_ABSENT_EXIT_EVENT = 1u << 6,   // the browser processes end without raising BrowserProcessExited
};

// The browser processes behind an environment hold a file in its user data
// folder ("EBWebView\lockfile", no delete sharing) from the environment's
// delivery until this long after its last controller closed (or the
// environment went), then end; BrowserProcessExited (with null arguments)
// follows from the environment's thread's message loop.
#define STANDIN_EXIT_DELAY_MS 300

#define STANDIN_WAIT_MS 5000
// What a delivery returns when the GUI thread did not run it in time.
#define STANDIN_E_TIMEOUT HRESULT_FROM_WIN32(ERROR_TIMEOUT)
// What a delivery returns when there is no live webview (or no page) to deliver to.
#define STANDIN_E_NO_VIEW HRESULT_FROM_WIN32(ERROR_INVALID_STATE)

// The exports. Text read-backs copy into (buffer, capacity) with a NUL,
// truncating, and return the full length in characters, or -1 for "none".
//  standin_reset              no failure, every interface present, every log and record emptied
//  standin_configure          which step fails with which code; absent = StandinAbsent bits
//  standin_sync               runs nothing on the GUI thread: everything posted before has been handled
//  standin_page_posts_string  the page posts a string: WebMessageReceived handlers run on the GUI thread;
//                             S_OK, S_FALSE (no handler), E_ACCESSDENIED (script or web messages off),
//                             STANDIN_E_NO_VIEW (no live view or no page loaded), STANDIN_E_TIMEOUT
//  standin_page_posts_json    the same with a non-string value (TryGetWebMessageAsString fails)
//  standin_bridge             connects to 127.0.0.1:port (at most STANDIN_WAIT_MS): from then on every
//                             text the editor posts goes out as one UTF-8 line, and every line that
//                             comes in is posted by the page as a string; closes with the environment
//                             of the current view, when the peer closes, or with port 0. Needs a
//                             current view (STANDIN_E_NO_VIEW); a refused or slow connect fails
//  standin_start_navigation   the page navigates: NavigationStarting handlers run; cancelled is set;
//                             an uncancelled "file:" URI of an existing file becomes the current page
//  standin_request_new_window NewWindowRequested handlers run; handled is set
//  standin_current_page       the page loaded now (-1 for none)
//  standin_navigate_*         every URI the editor passed to Navigate, in order
//  standin_posted_*           every text the editor passed to PostWebMessageAsString, in order
//  standin_settings_*         every settings put_ in order; standin_setting_value reads the current value
//  standin_controller_*       the view window (null once closed), the bounds and visibility last put
//                             (-1 / FALSE before any), closed: -1 no controller yet, 0 open, 1 closed
//  standin_move_focus_count   MoveFocus calls and the last reason; standin_allow_external_drop: -1 unset
//  standin_environment_calls  CreateCoreWebView2EnvironmentWithOptions calls since the reset
//  standin_browser_folder ... what the last creating call was given (-1: a null pointer or no options)
//  standin_gui_thread         the thread that created the last environment
//  standin_live_objects       stand-in objects alive (0 once the editor gave back every reference)
//  standin_browsers_running   environments whose browser processes still hold their folder's file
//  standin_handlers_held      references to the editor's handlers the stand-in holds
//  standin_misuse_*           calls the runtime would refuse or crash on: wrong thread, after Close,
//                             through an absent interface, a slot the stand-in does not implement
#define STANDIN_EXPORTS(X)                                                                                             \
    X(void, standin_reset, (void))                                                                                     \
    X(void, standin_configure, (int fail_step, HRESULT code, unsigned absent))                                         \
    X(HRESULT, standin_sync, (void))                                                                                   \
    X(HRESULT, standin_page_posts_string, (const wchar_t *text))                                                       \
    X(HRESULT, standin_page_posts_json, (const wchar_t *json))                                                         \
    X(HRESULT, standin_bridge, (int port))                                                                             \
    X(HRESULT, standin_start_navigation, (const wchar_t *uri, BOOL *cancelled))                                        \
    X(HRESULT, standin_request_new_window, (const wchar_t *uri, BOOL *handled))                                        \
    X(int, standin_current_page, (wchar_t * buffer, int capacity))                                                     \
    X(int, standin_navigate_count, (void))                                                                             \
    X(int, standin_navigate_uri, (int index, wchar_t *buffer, int capacity))                                           \
    X(int, standin_posted_count, (void))                                                                               \
    X(int, standin_posted_text, (int index, wchar_t *buffer, int capacity))                                            \
    X(int, standin_settings_count, (void))                                                                             \
    X(int, standin_settings_call, (int index, char *name, int capacity, BOOL *value))                                  \
    X(BOOL, standin_setting_value, (const char *name, BOOL *value))                                                    \
    X(HWND, standin_controller_window, (void))                                                                         \
    X(BOOL, standin_controller_bounds, (RECT * bounds))                                                                \
    X(int, standin_controller_visible, (void))                                                                         \
    X(int, standin_move_focus_count, (int *last_reason))                                                               \
    X(int, standin_allow_external_drop, (void))                                                                        \
    X(int, standin_controller_closed, (void))                                                                          \
    X(int, standin_environment_calls, (void))                                                                          \
    X(int, standin_browser_folder, (wchar_t * buffer, int capacity))                                                   \
    X(int, standin_user_data_folder, (wchar_t * buffer, int capacity))                                                 \
    X(int, standin_browser_arguments, (wchar_t * buffer, int capacity))                                                \
    X(int, standin_target_version, (wchar_t * buffer, int capacity))                                                   \
    X(DWORD, standin_gui_thread, (void))                                                                               \
    X(long, standin_live_objects, (void))                                                                              \
    X(long, standin_handlers_held, (void))                                                                             \
    X(long, standin_browsers_running, (void))                                                                          \
    X(int, standin_misuse_count, (void))                                                                               \
    X(int, standin_misuse, (int index, char *buffer, int capacity))

// Binds every export of a loaded stand-in; ok is false if one is missing.
struct StandinApi {
#define STANDIN_MEMBER(ret, name, args) ret(__cdecl *name) args = nullptr;
    STANDIN_EXPORTS(STANDIN_MEMBER)
#undef STANDIN_MEMBER
    bool ok = false;

    explicit StandinApi(HMODULE module)
    {
        ok = module != nullptr;
#define STANDIN_BIND(ret, name, args)                                                                                  \
    if (ok) {                                                                                                          \
        name = reinterpret_cast<ret(__cdecl *) args>(reinterpret_cast<void *>(GetProcAddress(module, #name)));         \
        ok = name != nullptr;                                                                                          \
    }
        STANDIN_EXPORTS(STANDIN_BIND)
#undef STANDIN_BIND
    }

    // Convenience read-backs for GoogleTest assertions.
    static std::wstring text_of(int (*read)(wchar_t *, int))
    {
        int n = read(nullptr, 0);
        if (n <= 0)
            return {};
        std::wstring s(static_cast<size_t>(n) + 1, L'\0');
        read(s.data(), n + 1);
        s.resize(static_cast<size_t>(n));
        return s;
    }
    static std::wstring indexed_text(int (*read)(int, wchar_t *, int), int index)
    {
        int n = read(index, nullptr, 0);
        if (n <= 0)
            return {};
        std::wstring s(static_cast<size_t>(n) + 1, L'\0');
        read(index, s.data(), n + 1);
        s.resize(static_cast<size_t>(n));
        return s;
    }
    std::vector<std::wstring> posted() const
    {
        std::vector<std::wstring> v;
        for (int i = 0, n = standin_posted_count(); i < n; ++i)
            v.push_back(indexed_text(standin_posted_text, i));
        return v;
    }
    std::vector<std::wstring> navigations() const
    {
        std::vector<std::wstring> v;
        for (int i = 0, n = standin_navigate_count(); i < n; ++i)
            v.push_back(indexed_text(standin_navigate_uri, i));
        return v;
    }
    // Every settings put_ in order, as "Name=0" or "Name=1"; "!" in front for
    // a call through an interface the stand-in was told to lack.
    std::vector<std::string> settings_calls() const
    {
        std::vector<std::string> v;
        for (int i = 0, n = standin_settings_count(); i < n; ++i) {
            char name[96] = {};
            BOOL value = FALSE;
            standin_settings_call(i, name, static_cast<int>(sizeof name), &value);
            v.push_back(std::string(name) + (value ? "=1" : "=0"));
        }
        return v;
    }
    std::vector<std::string> misuses() const
    {
        std::vector<std::string> v;
        for (int i = 0, n = standin_misuse_count(); i < n; ++i) {
            char text[256] = {};
            standin_misuse(i, text, static_cast<int>(sizeof text));
            v.push_back(text);
        }
        return v;
    }
};
