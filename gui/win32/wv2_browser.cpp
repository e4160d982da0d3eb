// The WebView2 browser inside a GUI host's window: start-up through the
// runtime's callbacks, the settings an editor wants, the navigation policy
// (the editor stays on local files; web addresses open in the user's
// browser), web messages to the page protocol, and teardown, which deletes
// the user data folder once the runtime reports its browser processes gone
// (they hold files in it until then). Everything runs on the host's GUI
// thread, in its single-threaded COM apartment.
#include "gui_host_win32.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

namespace {

constexpr wchar_t k_browser_arguments[] = L"--allow-file-access-from-files";
constexpr wchar_t k_target_browser_version[] = L"131.0.2903.40";
constexpr size_t k_message_buffer = 1024;
// How long the editor waits for the program that opens a link outside.
constexpr DWORD k_open_wait_ms = 5000;

// A CoTaskMemAlloc copy (the runtime frees what it is handed), or null.
LPWSTR co_copy(const wchar_t *s)
{
    if (!s)
        return nullptr;
    const size_t bytes = (std::wcslen(s) + 1) * sizeof(wchar_t);
    LPWSTR copy = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (copy)
        std::memcpy(copy, s, bytes);
    return copy;
}

HRESULT last_error_result() { return HRESULT_FROM_WIN32(GetLastError()); }

// "file:///" and the path with forward slashes; everything but unreserved
// characters and the separators is percent-encoded from its UTF-8 bytes, so
// the runtime gets a URI whatever the folder is called.
LPWSTR file_uri_of(const wchar_t *path)
{
    const int bytes = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return nullptr;
    char *utf8 = static_cast<char *>(std::malloc(static_cast<size_t>(bytes)));
    if (!utf8)
        return nullptr;
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path, -1, utf8, bytes, nullptr, nullptr);
    static const wchar_t k_prefix[] = L"file:///";
    const size_t cap = 8 + 3 * static_cast<size_t>(bytes) + 1;
    LPWSTR uri = static_cast<LPWSTR>(CoTaskMemAlloc(cap * sizeof(wchar_t)));
    if (uri) {
        std::wcscpy(uri, k_prefix);
        wchar_t *o = uri + 8;
        static const char hex[] = "0123456789ABCDEF";
        for (const unsigned char *c = reinterpret_cast<const unsigned char *>(utf8); *c; ++c) {
            if (*c == '\\') {
                *o++ = L'/';
            } else if ((*c >= 'A' && *c <= 'Z') || (*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') ||
                       std::strchr("-._~/:", *c)) {
                *o++ = static_cast<wchar_t>(*c);
            } else {
                *o++ = L'%';
                *o++ = static_cast<wchar_t>(hex[*c >> 4]);
                *o++ = static_cast<wchar_t>(hex[*c & 15]);
            }
        }
        *o = 0;
    }
    std::free(utf8);
    return uri;
}

bool starts_with(const wchar_t *s, const wchar_t *prefix)
{
    return s && std::wcsncmp(s, prefix, std::wcslen(prefix)) == 0;
}

// [gui] Hands an address to the system's handler: the user's browser or mail
// program. Waits a little for it, never for good.
void open_in_browser(const wchar_t *uri)
{
    if (!wv2_may_open_outside(uri))
        return;
    static const wchar_t k_command[] = L"rundll32 url.dll,FileProtocolHandler \"";
    const size_t cap = std::wcslen(uri) + 40;
    wchar_t *line = static_cast<wchar_t *>(std::malloc(cap * sizeof(wchar_t)));
    if (!line)
        return;
    std::wcscpy(line, k_command);
    std::wcscat(line, uri);
    std::wcscat(line, L"\"");
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        WaitForSingleObject(pi.hProcess, k_open_wait_ms);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    std::free(line);
}

// ---- the environment options ------------------------------------------------------------

class WV2EnvironmentOptions final : public ICoreWebView2EnvironmentOptions {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override
    {
        if (!object)
            return E_POINTER;
        if (IsEqualIID(riid, IID_ICoreWebView2EnvironmentOptions)) {
            *object = static_cast<ICoreWebView2EnvironmentOptions *>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++ref_count_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG n = --ref_count_;
        if (n == 0)
            delete this;
        return n;
    }
    HRESULT STDMETHODCALLTYPE get_AdditionalBrowserArguments(LPWSTR *value) override
    {
        return get(additional_browser_arguments_, value);
    }
    HRESULT STDMETHODCALLTYPE put_AdditionalBrowserArguments(LPCWSTR value) override
    {
        return put(&additional_browser_arguments_, value);
    }
    HRESULT STDMETHODCALLTYPE get_Language(LPWSTR *value) override { return get(language_, value); }
    HRESULT STDMETHODCALLTYPE put_Language(LPCWSTR value) override { return put(&language_, value); }
    HRESULT STDMETHODCALLTYPE get_TargetCompatibleBrowserVersion(LPWSTR *value) override
    {
        return get(target_compatible_browser_version_, value);
    }
    HRESULT STDMETHODCALLTYPE put_TargetCompatibleBrowserVersion(LPCWSTR value) override
    {
        return put(&target_compatible_browser_version_, value);
    }
    HRESULT STDMETHODCALLTYPE get_AllowSingleSignOnUsingOSPrimaryAccount(BOOL *allow) override
    {
        if (!allow)
            return E_POINTER;
        *allow = allow_single_sign_on_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_AllowSingleSignOnUsingOSPrimaryAccount(BOOL allow) override
    {
        allow_single_sign_on_ = allow;
        return S_OK;
    }
    virtual ~WV2EnvironmentOptions()
    {
        CoTaskMemFree(additional_browser_arguments_);
        CoTaskMemFree(language_);
        CoTaskMemFree(target_compatible_browser_version_);
    }

private:
    static HRESULT get(const wchar_t *s, LPWSTR *value)
    {
        if (!value)
            return E_POINTER;
        *value = nullptr;
        if (!s)
            return S_OK;
        *value = co_copy(s);
        return *value ? S_OK : last_error_result();
    }
    static HRESULT put(LPWSTR *s, LPCWSTR value)
    {
        CoTaskMemFree(*s);
        *s = nullptr;
        if (!value)
            return S_OK;
        *s = co_copy(value);
        return *s ? S_OK : last_error_result();
    }

    LPWSTR additional_browser_arguments_ = nullptr;
    LPWSTR language_ = nullptr;
    LPWSTR target_compatible_browser_version_ = nullptr;
    BOOL allow_single_sign_on_ = FALSE;
    std::atomic<ULONG> ref_count_{1};
};

// ---- the one handler of every completion and event ---------------------------------------

class WV2Handler final : public ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
                         public ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
                         public ICoreWebView2WebMessageReceivedEventHandler,
                         public ICoreWebView2NavigationStartingEventHandler,
                         public ICoreWebView2NewWindowRequestedEventHandler,
                         public ICoreWebView2BrowserProcessExitedEventHandler {
public:
    WV2Handler(GuiHost *host, LPWSTR page_uri) : host_(host), page_path_(page_uri) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override
    {
        if (!object)
            return E_POINTER;
        void *found = nullptr;
        if (IsEqualIID(riid, IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler))
            found = static_cast<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler *>(this);
        else if (IsEqualIID(riid, IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler))
            found = static_cast<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler *>(this);
        else if (IsEqualIID(riid, IID_ICoreWebView2WebMessageReceivedEventHandler))
            found = static_cast<ICoreWebView2WebMessageReceivedEventHandler *>(this);
        else if (IsEqualIID(riid, IID_ICoreWebView2NavigationStartingEventHandler))
            found = static_cast<ICoreWebView2NavigationStartingEventHandler *>(this);
        else if (IsEqualIID(riid, IID_ICoreWebView2NewWindowRequestedEventHandler))
            found = static_cast<ICoreWebView2NewWindowRequestedEventHandler *>(this);
        else if (IsEqualIID(riid, IID_ICoreWebView2BrowserProcessExitedEventHandler))
            found = static_cast<ICoreWebView2BrowserProcessExitedEventHandler *>(this);
        *object = found;
        if (!found)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++ref_count_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG n = --ref_count_;
        if (n == 0)
            delete this;
        return n;
    }

    // The environment exists: watch for its browser processes' exit, and ask
    // it for the controller.
    HRESULT STDMETHODCALLTYPE Invoke(HRESULT error, ICoreWebView2Environment *environment) override
    {
        HRESULT hr = error;
        if (SUCCEEDED(error)) {
            if (environment)
                watch_browser_exit(environment);
            hr = environment ? environment->vtbl->CreateCoreWebView2Controller(
                                   environment, host_->window,
                                   static_cast<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler *>(this))
                             : E_POINTER;
            if (SUCCEEDED(hr))
                return S_OK;
        }
        report(hr);
        return hr;
    }

    // The controller exists: configure it, hook the events, load the page.
    HRESULT STDMETHODCALLTYPE Invoke(HRESULT error, ICoreWebView2Controller *controller) override
    {
        if (FAILED(error) || !controller) {
            report(FAILED(error) ? error : E_POINTER);
            return error;
        }
        ICoreWebView2 *webview = nullptr;
        ICoreWebView2Settings *settings = nullptr;
        bool ok = SUCCEEDED(controller->vtbl->get_CoreWebView2(controller, &webview)) && webview &&
                  SUCCEEDED(webview->vtbl->get_Settings(webview, &settings)) && settings;
        if (ok) {
            // An editor, not a browser: no menus, tools, zoom or dialogs.
            settings->vtbl->put_AreDefaultContextMenusEnabled(settings, FALSE);
            settings->vtbl->put_AreDevToolsEnabled(settings, FALSE);
            settings->vtbl->put_IsStatusBarEnabled(settings, FALSE);
            settings->vtbl->put_IsZoomControlEnabled(settings, FALSE);
            settings->vtbl->put_AreDefaultScriptDialogsEnabled(settings, FALSE);
            if (ICoreWebView2Settings *s = query_settings(settings, IID_ICoreWebView2Settings3)) {
                s->vtbl->put_AreBrowserAcceleratorKeysEnabled(s, FALSE);
                s->vtbl->Release(s);
            }
            if (ICoreWebView2Settings *s = query_settings(settings, IID_ICoreWebView2Settings4)) {
                s->vtbl->put_IsPasswordAutosaveEnabled(s, FALSE);
                s->vtbl->put_IsGeneralAutofillEnabled(s, FALSE);
                s->vtbl->Release(s);
            }
            if (ICoreWebView2Settings *s = query_settings(settings, IID_ICoreWebView2Settings5)) {
                s->vtbl->put_IsPinchZoomEnabled(s, FALSE);
                s->vtbl->Release(s);
            }
            if (ICoreWebView2Settings *s = query_settings(settings, IID_ICoreWebView2Settings6)) {
                s->vtbl->put_IsSwipeNavigationEnabled(s, FALSE);
                s->vtbl->Release(s);
            }
            void *c4 = nullptr;
            if (SUCCEEDED(controller->vtbl->QueryInterface(controller, &IID_ICoreWebView2Controller4, &c4)) && c4) {
                auto *controller4 = static_cast<ICoreWebView2Controller *>(c4);
                controller4->vtbl->put_AllowExternalDrop(controller4, FALSE);
                controller4->vtbl->Release(controller4);
            }

            RECT bounds;
            EventRegistrationToken token;
            ok = settings->vtbl->put_IsScriptEnabled(settings, TRUE) == S_OK &&
                 SUCCEEDED(settings->vtbl->put_AreHostObjectsAllowed(settings, TRUE)) &&
                 GetClientRect(host_->window, &bounds) && SUCCEEDED(controller->vtbl->put_Bounds(controller, bounds)) &&
                 SUCCEEDED(webview->vtbl->add_WebMessageReceived(
                     webview, static_cast<ICoreWebView2WebMessageReceivedEventHandler *>(this), &token)) &&
                 SUCCEEDED(webview->vtbl->add_NavigationStarting(
                     webview, static_cast<ICoreWebView2NavigationStartingEventHandler *>(this), &token)) &&
                 SUCCEEDED(webview->vtbl->add_NewWindowRequested(
                     webview, static_cast<ICoreWebView2NewWindowRequestedEventHandler *>(this), &token)) &&
                 page_path_ && SUCCEEDED(webview->vtbl->Navigate(webview, page_path_));
        }
        if (settings)
            settings->vtbl->Release(settings);
        if (webview)
            webview->vtbl->Release(webview);
        if (!ok) {
            // Not kept: shut the browser down now rather than whenever the runtime lets go of it.
            controller->vtbl->Close(controller);
            report(E_FAIL);
            return E_FAIL;
        }
        controller->vtbl->AddRef(controller);
        host_->controller = controller;
        report(S_OK);
        return S_OK;
    }

    // A page message: UTF-8 for the protocol, in our own buffer when it fits.
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2 *, ICoreWebView2WebMessageReceivedEventArgs *args) override
    {
        LPWSTR message = nullptr;
        HRESULT hr = args->vtbl->TryGetWebMessageAsString(args, &message);
        if (FAILED(hr))
            return hr; // not a string: not ours
        if (!message)
            return E_POINTER;
        const int size = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, message, -1, nullptr, 0, nullptr, nullptr);
        if (size == 0) {
            hr = last_error_result();
            CoTaskMemFree(message);
            return hr;
        }
        char *text = static_cast<size_t>(size) <= k_message_buffer
                         ? message_buffer_
                         : static_cast<char *>(std::malloc(static_cast<size_t>(size)));
        if (!text) {
            CoTaskMemFree(message);
            return E_OUTOFMEMORY;
        }
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, message, -1, text, size, nullptr, nullptr);
        gui_protocol_parse(&host_->dispatch, text);
        if (text != message_buffer_)
            std::free(text);
        CoTaskMemFree(message);
        return S_OK;
    }

    // The page stays on local files; anything else opens outside, if anything.
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2 *, ICoreWebView2NavigationStartingEventArgs *args) override
    {
        return leave_for(args, [](ICoreWebView2NavigationStartingEventArgs *a) { a->vtbl->put_Cancel(a, TRUE); });
    }

    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2 *, ICoreWebView2NewWindowRequestedEventArgs *args) override
    {
        return leave_for(args, [](ICoreWebView2NewWindowRequestedEventArgs *a) { a->vtbl->put_Handled(a, TRUE); });
    }

    // The browser processes are gone, and with them their hold on the user
    // data folder. Runs after the host may have gone: it touches none.
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2Environment *, ICoreWebView2BrowserProcessExitedEventArgs *) override
    {
        browser_exited_ = true;
        return S_OK;
    }

    bool browser_exited() const { return browser_exited_; }

    virtual ~WV2Handler() { CoTaskMemFree(page_path_); }

private:
    // Where the runtime can tell, the folder is deleted once it says so.
    void watch_browser_exit(ICoreWebView2Environment *environment);

    void report(HRESULT result)
    {
        PostMessageA(host_->window, WM_GUI_READY, SUCCEEDED(result) ? 1 : 0, static_cast<LPARAM>(result));
    }

    // A URI the page wants to go to that is not a local file: `keep` stops the
    // navigation or new window, and the address may open in the user's browser.
    template <typename Args, typename Keep> static HRESULT leave_for(Args *args, Keep keep)
    {
        LPWSTR uri = nullptr;
        const HRESULT hr = args->vtbl->get_Uri(args, &uri);
        if (FAILED(hr))
            return hr;
        if (!starts_with(uri, L"file:")) {
            keep(args);
            if (uri)
                open_in_browser(uri);
        }
        CoTaskMemFree(uri);
        return S_OK;
    }

    static ICoreWebView2Settings *query_settings(ICoreWebView2Settings *settings, const IID &iid)
    {
        void *s = nullptr;
        if (FAILED(settings->vtbl->QueryInterface(settings, &iid, &s)))
            return nullptr;
        return static_cast<ICoreWebView2Settings *>(s);
    }

    std::atomic<ULONG> ref_count_{1};
    GuiHost *host_;
    LPWSTR page_path_; // the page as a file: URI (CoTaskMemAlloc)
    bool browser_exited_ = false;
    char message_buffer_[k_message_buffer];
};

} // namespace

struct Wv2Browser {
    WV2EnvironmentOptions *options;
    WV2Handler *handler;
    Wv2UserData user_data;
    ICoreWebView2Environment5 *environment5; // set while the exit is watched
    EventRegistrationToken exit_token;
};

namespace {

void WV2Handler::watch_browser_exit(ICoreWebView2Environment *environment)
{
    void *found = nullptr;
    if (FAILED(environment->vtbl->QueryInterface(environment, &IID_ICoreWebView2Environment5, &found)) || !found)
        return;
    auto *environment5 = static_cast<ICoreWebView2Environment5 *>(found);
    EventRegistrationToken token{};
    if (FAILED(environment5->vtbl->add_BrowserProcessExited(
            environment5, static_cast<ICoreWebView2BrowserProcessExitedEventHandler *>(this), &token))) {
        environment5->vtbl->Release(environment5);
        return;
    }
    host_->browser->environment5 = environment5;
    host_->browser->exit_token = token;
}

void browser_free(Wv2Browser *b)
{
    if (b->handler)
        static_cast<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler *>(b->handler)->Release();
    if (b->options)
        b->options->Release();
    delete b;
}

} // namespace

bool wv2_may_open_outside(const wchar_t *uri)
{
    if (!uri)
        return false;
    // Compared without regard to case, as schemes are.
    static const wchar_t *const k_schemes[] = {L"http:", L"https:", L"mailto:"};
    bool scheme_ok = false;
    for (const wchar_t *scheme : k_schemes)
        scheme_ok = scheme_ok || _wcsnicmp(uri, scheme, std::wcslen(scheme)) == 0;
    if (!scheme_ok)
        return false;
    // The address goes into a command line: nothing that could end the quoted
    // argument or hide in it.
    for (const wchar_t *c = uri; *c; ++c)
        if (*c == L'"' || *c < 0x20 || *c == 0x7F)
            return false;
    return true;
}

HRESULT wv2_browser_start(GuiHost *h, CreateCoreWebView2EnvironmentWithOptionsFn create, const wchar_t *page_path,
                          Wv2UserData *user_data)
{
    Wv2Browser *b = new (std::nothrow) Wv2Browser{};
    if (!b)
        return E_OUTOFMEMORY;
    h->browser = b;
    b->user_data = *user_data;
    user_data->folder[0] = 0;
    user_data->marker = nullptr;

    b->options = new (std::nothrow) WV2EnvironmentOptions();
    if (!b->options)
        return E_OUTOFMEMORY;
    HRESULT hr = b->options->put_TargetCompatibleBrowserVersion(k_target_browser_version);
    if (FAILED(hr))
        return hr;
    b->handler = new (std::nothrow) WV2Handler(h, file_uri_of(page_path));
    if (!b->handler)
        return E_OUTOFMEMORY;
    hr = b->options->put_AdditionalBrowserArguments(k_browser_arguments);
    if (FAILED(hr))
        return hr;
    hr = create(nullptr, b->user_data.folder, b->options,
                static_cast<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler *>(b->handler));
    // The runtime starts its processes meanwhile: the sweep costs the editor's start little.
    if (SUCCEEDED(hr))
        wv2_user_data_sweep();
    return hr;
}

Wv2Browser *wv2_browser_teardown(GuiHost *h)
{
    if (h->controller) {
        h->controller->vtbl->Close(h->controller);
        h->controller->vtbl->Release(h->controller);
        h->controller = nullptr;
    }
    Wv2Browser *b = h->browser;
    h->browser = nullptr;
    if (b && b->environment5)
        return b;
    if (b) {
        // Without the runtime's word, now: what its processes still hold
        // stays, marked, for a later editor's sweep.
        wv2_user_data_remove(&b->user_data);
        browser_free(b);
    }
    return nullptr;
}

void wv2_browser_await_exit(Wv2Browser *b)
{
    const ULONGLONG deadline = GetTickCount64() + k_wv2_exit_wait_ms;
    for (;;) {
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            if (m.message == WM_QUIT)
                continue; // the GUI window's, gone already
            TranslateMessage(&m);
            DispatchMessageA(&m);
        }
        const ULONGLONG now = GetTickCount64();
        if (b->handler->browser_exited() || now >= deadline)
            break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
    }
    if (b->handler->browser_exited())
        wv2_user_data_remove(&b->user_data);
    else
        wv2_user_data_leave(&b->user_data);
    ICoreWebView2Environment5 *environment5 = b->environment5;
    environment5->vtbl->remove_BrowserProcessExited(environment5, b->exit_token);
    environment5->vtbl->Release(environment5);
    browser_free(b);
}

void wv2_post_to_page(void *ctx, const char *text)
{
    GuiHost *h = static_cast<GuiHost *>(ctx);
    if (!h->controller)
        return;
    // Value messages fit the buffer on the stack; longer texts get their own.
    char16_t buffer[64];
    const long units = gui_protocol_utf8_to_utf16(text, nullptr, 0);
    if (units < 0)
        return;
    const size_t cap = static_cast<size_t>(units) + 1;
    char16_t *wide = cap <= 64 ? buffer : static_cast<char16_t *>(std::malloc(cap * sizeof(char16_t)));
    if (!wide)
        return;
    gui_protocol_utf8_to_utf16(text, wide, cap);
    ICoreWebView2 *webview = nullptr;
    if (SUCCEEDED(h->controller->vtbl->get_CoreWebView2(h->controller, &webview)) && webview) {
        webview->vtbl->PostWebMessageAsString(webview, reinterpret_cast<LPCWSTR>(wide));
        webview->vtbl->Release(webview);
    }
    if (wide != buffer)
        std::free(wide);
}
