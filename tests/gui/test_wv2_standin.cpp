// The stand-in WebView2 loader and rundll32.exe, checked the way the editor
// will use them: a GUI thread with an STA and a message loop, objects of our
// own implementing the handler interfaces, and the steering exports read from
// the test thread.
#include "webview2.h"

#include "standin_api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const char k_loader_path[] = ZFEN_STANDIN_LOADER_DIR "/WebView2Loader.dll";

// ---- objects of ours the stand-in calls ------------------------------------------------------

template <typename Iface> struct Unknown : Iface {
    std::atomic<ULONG> refs{1};
    const IID &iid;
    explicit Unknown(const IID &id) : iid(id) {}
    virtual ~Unknown() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override
    {
        if (!object)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, iid)) {
            AddRef();
            *object = this;
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG left = --refs;
        if (left == 0)
            delete this;
        return left;
    }
};

LPWSTR co_copy(const wchar_t *s)
{
    if (!s)
        return nullptr;
    size_t bytes = (wcslen(s) + 1) * sizeof(wchar_t);
    auto *p = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    std::memcpy(p, s, bytes);
    return p;
}

struct Options : Unknown<ICoreWebView2EnvironmentOptions> {
    std::wstring arguments, version;
    bool version_null = false;
    std::atomic<int> reads{0};
    Options() : Unknown(IID_ICoreWebView2EnvironmentOptions) {}
    HRESULT STDMETHODCALLTYPE get_AdditionalBrowserArguments(LPWSTR *value) override
    {
        ++reads;
        *value = co_copy(arguments.c_str());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_AdditionalBrowserArguments(LPCWSTR value) override
    {
        arguments = value;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Language(LPWSTR *value) override
    {
        *value = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Language(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE get_TargetCompatibleBrowserVersion(LPWSTR *value) override
    {
        ++reads;
        *value = version_null ? nullptr : co_copy(version.c_str());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_TargetCompatibleBrowserVersion(LPCWSTR value) override
    {
        version = value;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_AllowSingleSignOnUsingOSPrimaryAccount(BOOL *allow) override
    {
        *allow = FALSE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_AllowSingleSignOnUsingOSPrimaryAccount(BOOL) override { return S_OK; }
};

// Set by the test around a creating call, to see that no result arrives inside it.
std::atomic<bool> g_in_call{false};

template <typename Iface, typename Result> struct Completion : Unknown<Iface> {
    std::atomic<int> calls{0};
    std::atomic<bool> inside_call{false};
    std::atomic<DWORD> thread{0};
    std::atomic<HRESULT> error{E_PENDING};
    Result *result = nullptr; // held (AddRef) until the test releases it
    explicit Completion(const IID &id) : Unknown<Iface>(id) {}
    ~Completion() override
    {
        if (result)
            result->vtbl->Release(result);
    }
    HRESULT STDMETHODCALLTYPE Invoke(HRESULT code, Result *r) override
    {
        if (g_in_call)
            inside_call = true;
        thread = GetCurrentThreadId();
        if (r) {
            r->vtbl->AddRef(r);
            result = r;
        }
        error = code;
        ++calls;
        return S_OK;
    }
};

struct EnvironmentDone
    : Completion<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler, ICoreWebView2Environment> {
    EnvironmentDone() : Completion(IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler) {}
};
struct ControllerDone : Completion<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler, ICoreWebView2Controller> {
    ControllerDone() : Completion(IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler) {}
};

std::wstring take_string(LPWSTR s)
{
    std::wstring out = s ? s : L"";
    CoTaskMemFree(s);
    return out;
}

struct MessageSink : Unknown<ICoreWebView2WebMessageReceivedEventHandler> {
    std::vector<std::wstring> strings, jsons, sources;
    std::vector<HRESULT> string_results;
    std::atomic<int> calls{0};
    DWORD thread = 0;
    MessageSink() : Unknown(IID_ICoreWebView2WebMessageReceivedEventHandler) {}
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2 *, ICoreWebView2WebMessageReceivedEventArgs *args) override
    {
        thread = GetCurrentThreadId();
        LPWSTR text = nullptr;
        HRESULT hr = args->vtbl->TryGetWebMessageAsString(args, &text);
        string_results.push_back(hr);
        strings.push_back(SUCCEEDED(hr) ? take_string(text) : L"<none>");
        if (FAILED(hr)) {
            EXPECT_EQ(text, nullptr);
        }
        LPWSTR json = nullptr;
        EXPECT_EQ(args->vtbl->get_WebMessageAsJson(args, &json), S_OK);
        jsons.push_back(take_string(json));
        LPWSTR source = nullptr;
        EXPECT_EQ(args->vtbl->get_Source(args, &source), S_OK);
        sources.push_back(take_string(source));
        ++calls;
        return S_OK;
    }
};

// Cancels every navigation whose URI does not start with "file:".
struct NavigationGuard : Unknown<ICoreWebView2NavigationStartingEventHandler> {
    std::vector<std::wstring> uris;
    std::vector<BOOL> initial_cancel;
    std::atomic<int> calls{0};
    NavigationGuard() : Unknown(IID_ICoreWebView2NavigationStartingEventHandler) {}
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2 *, ICoreWebView2NavigationStartingEventArgs *args) override
    {
        std::wstring uri = take_string([&] {
            LPWSTR u = nullptr;
            EXPECT_EQ(args->vtbl->get_Uri(args, &u), S_OK);
            return u;
        }());
        BOOL cancel = TRUE;
        EXPECT_EQ(args->vtbl->get_Cancel(args, &cancel), S_OK);
        initial_cancel.push_back(cancel);
        uris.push_back(uri);
        if (uri.rfind(L"file:", 0) != 0)
            args->vtbl->put_Cancel(args, TRUE);
        ++calls;
        return S_OK;
    }
};

struct WindowBlocker : Unknown<ICoreWebView2NewWindowRequestedEventHandler> {
    std::vector<std::wstring> uris;
    WindowBlocker() : Unknown(IID_ICoreWebView2NewWindowRequestedEventHandler) {}
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2 *, ICoreWebView2NewWindowRequestedEventArgs *args) override
    {
        LPWSTR u = nullptr;
        EXPECT_EQ(args->vtbl->get_Uri(args, &u), S_OK);
        uris.push_back(take_string(u));
        BOOL handled = TRUE;
        EXPECT_EQ(args->vtbl->get_Handled(args, &handled), S_OK);
        EXPECT_FALSE(handled);
        return args->vtbl->put_Handled(args, TRUE);
    }
};

// ---- a GUI thread: STA, a parent window and a message loop ------------------------------------

const UINT k_task = WM_APP + 1;

LRESULT CALLBACK task_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message == k_task) {
        (*reinterpret_cast<std::function<void()> *>(lparam))();
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

class GuiThread {
public:
    explicit GuiThread(DWORD apartment = COINIT_APARTMENTTHREADED)
    {
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this, ready, apartment] {
            com_ = CoInitializeEx(nullptr, apartment);
            WNDCLASSW wc = {};
            wc.lpfnWndProc = task_proc;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = L"ZfenStandinTestTasks";
            RegisterClassW(&wc);
            wc.lpfnWndProc = DefWindowProcW;
            wc.lpszClassName = L"ZfenStandinTestParent";
            RegisterClassW(&wc);
            tasks_ = CreateWindowExW(0, L"ZfenStandinTestTasks", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                     GetModuleHandleW(nullptr), nullptr);
            parent_ = CreateWindowExW(0, L"ZfenStandinTestParent", L"stand-in test", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                      0, 0, 640, 480, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
            id_ = GetCurrentThreadId();
            SetEvent(ready);
            MSG msg;
            while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
            if (IsWindow(parent_))
                DestroyWindow(parent_);
            DestroyWindow(tasks_);
            if (SUCCEEDED(com_))
                CoUninitialize();
        });
        WaitForSingleObject(ready, 10000);
        CloseHandle(ready);
    }
    ~GuiThread()
    {
        PostThreadMessageW(id_, WM_QUIT, 0, 0);
        thread_.join();
    }
    // Runs fn on the GUI thread and waits for it (bounded).
    bool run(std::function<void()> fn)
    {
        HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::function<void()> task = [&] {
            fn();
            SetEvent(done);
        };
        bool ok =
            SendMessageTimeoutW(tasks_, k_task, 0, reinterpret_cast<LPARAM>(&task), SMTO_NORMAL, 10000, nullptr) != 0;
        ok = ok && WaitForSingleObject(done, 0) == WAIT_OBJECT_0;
        CloseHandle(done);
        return ok;
    }
    HWND parent() const { return parent_; }
    DWORD id() const { return id_; }
    HRESULT com() const { return com_; }

private:
    std::thread thread_;
    HWND tasks_ = nullptr, parent_ = nullptr;
    DWORD id_ = 0;
    HRESULT com_ = E_FAIL;
};

bool wait_until(const std::function<bool()> &done, int ms = 5000)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        Sleep(5);
    }
    return true;
}

std::wstring temp_path(const wchar_t *name)
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    return std::wstring(dir) + name + std::to_wstring(GetCurrentProcessId());
}

bool is_folder(const std::wstring &path)
{
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring file_uri(const std::wstring &path)
{
    std::wstring uri = L"file:///";
    for (wchar_t c : path)
        uri += c == L'\\' ? L'/' : c;
    return uri;
}

// ---- fixture ----------------------------------------------------------------------------------

class StandinTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        module_ = LoadLibraryA(k_loader_path);
        ASSERT_NE(module_, nullptr) << k_loader_path;
        create_ = reinterpret_cast<CreateCoreWebView2EnvironmentWithOptionsFn>(
            reinterpret_cast<void *>(GetProcAddress(module_, "CreateCoreWebView2EnvironmentWithOptions")));
        ASSERT_NE(create_, nullptr);
        api_ = std::make_unique<StandinApi>(module_);
        ASSERT_TRUE(api_->ok);
        api_->standin_reset();
        ASSERT_EQ(api_->standin_live_objects(), 0);
        folder_ = temp_path(L"zfen-standin-udf-");
    }
    void TearDown() override
    {
        if (api_) {
            EXPECT_EQ(api_->standin_live_objects(), 0);
            EXPECT_EQ(api_->standin_handlers_held(), 0);
        }
        // The browser processes let go of the folder a moment after Close.
        EXPECT_TRUE(wait_until([&] { return api_->standin_browsers_running() == 0; }));
        DeleteFileW((folder_ + L"\\EBWebView\\lockfile").c_str());
        DeleteFileW((folder_ + L"\\EBWebView\\Local State").c_str());
        RemoveDirectoryW((folder_ + L"\\EBWebView").c_str());
        RemoveDirectoryW(folder_.c_str());
        api_.reset();
        if (module_)
            FreeLibrary(module_);
    }

    // Creates an environment on the GUI thread and waits for its result.
    HRESULT create_environment(GuiThread &gui, EnvironmentDone *done, ICoreWebView2EnvironmentOptions *options,
                               bool *invoked_inside = nullptr)
    {
        HRESULT hr = E_PENDING;
        EXPECT_TRUE(gui.run([&] {
            g_in_call = true;
            hr = create_(nullptr, folder_.c_str(), options, done);
            g_in_call = false;
            if (invoked_inside)
                *invoked_inside = done->calls != 0;
        }));
        return hr;
    }

    HMODULE module_ = nullptr;
    CreateCoreWebView2EnvironmentWithOptionsFn create_ = nullptr;
    std::unique_ptr<StandinApi> api_;
    std::wstring folder_;
};

// ---- tests ---------------------------------------------------------------------------------------

TEST_F(StandinTest, ExportsTheLoaderEntryUndecoratedAndEverySteeringFunction)
{
    EXPECT_NE(GetProcAddress(module_, "CreateCoreWebView2EnvironmentWithOptions"), nullptr);
    EXPECT_EQ(GetProcAddress(module_, "_CreateCoreWebView2EnvironmentWithOptions@16"), nullptr);
    // The same path gives the same module, hence the same state as the editor's.
    EXPECT_EQ(GetModuleHandleA(k_loader_path), module_);
    std::string backslashed = k_loader_path;
    for (char &c : backslashed)
        if (c == '/')
            c = '\\';
    HMODULE again = LoadLibraryA(backslashed.c_str());
    EXPECT_EQ(again, module_);
    if (again)
        FreeLibrary(again);
}

TEST_F(StandinTest, RefusesAThreadWithoutComOrWithAMultithreadedApartment)
{
    auto *done = new EnvironmentDone;
    HRESULT without = E_PENDING, mta = E_PENDING;
    std::thread([&] { without = create_(nullptr, folder_.c_str(), nullptr, done); }).join();
    EXPECT_EQ(without, CO_E_NOTINITIALIZED);
    std::thread([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        mta = create_(nullptr, folder_.c_str(), nullptr, done);
        CoUninitialize();
    }).join();
    EXPECT_EQ(mta, RPC_E_CHANGED_MODE);
    Sleep(50);
    EXPECT_EQ(done->calls, 0);
    EXPECT_EQ(done->refs, 1u); // no reference kept after a failing call
    EXPECT_FALSE(is_folder(folder_));
    done->Release();
}

TEST_F(StandinTest, ResultsArriveLaterFromTheMessageLoopAndEveryReferenceIsGivenBack)
{
    GuiThread gui;
    ASSERT_EQ(gui.com(), S_OK);
    auto *options = new Options;
    options->arguments = L"--disable-features=msSmartScreenProtection";
    options->version = L"120.0.2210.55";
    auto *env_done = new EnvironmentDone;
    bool inside = true;
    ASSERT_EQ(create_environment(gui, env_done, options, &inside), S_OK);
    EXPECT_FALSE(inside);
    ASSERT_TRUE(wait_until([&] { return env_done->calls == 1; }));
    EXPECT_FALSE(env_done->inside_call);
    EXPECT_EQ(env_done->thread, gui.id());
    EXPECT_EQ(env_done->error, S_OK);
    ASSERT_NE(env_done->result, nullptr);
    EXPECT_EQ(api_->standin_gui_thread(), gui.id());

    // What the loader read and made.
    EXPECT_EQ(options->reads, 2);
    EXPECT_EQ(StandinApi::text_of(api_->standin_user_data_folder), folder_);
    EXPECT_EQ(StandinApi::text_of(api_->standin_browser_arguments), options->arguments);
    EXPECT_EQ(StandinApi::text_of(api_->standin_target_version), L"120.0.2210.55");
    EXPECT_EQ(api_->standin_browser_folder(nullptr, 0), -1);
    EXPECT_EQ(api_->standin_environment_calls(), 1);
    EXPECT_TRUE(is_folder(folder_));
    EXPECT_TRUE(is_folder(folder_ + L"\\EBWebView")); // not empty: the editor must remove a tree

    // The controller: its window joins the parent at once, the result comes later.
    auto *ctl_done = new ControllerDone;
    HWND window = nullptr;
    ASSERT_TRUE(gui.run([&] {
        ICoreWebView2Environment *env = env_done->result;
        g_in_call = true;
        EXPECT_EQ(env->vtbl->CreateCoreWebView2Controller(env, gui.parent(), ctl_done), S_OK);
        g_in_call = false;
        EXPECT_EQ(ctl_done->calls, 0);
        // The one child of the parent is the view's window.
        window = GetWindow(gui.parent(), GW_CHILD);
    }));
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(GetAncestor(window, GA_PARENT), gui.parent());
    ASSERT_TRUE(wait_until([&] { return ctl_done->calls == 1; }));
    EXPECT_FALSE(ctl_done->inside_call);
    EXPECT_EQ(ctl_done->thread, gui.id());
    ASSERT_EQ(ctl_done->error, S_OK);
    ASSERT_NE(ctl_done->result, nullptr);
    EXPECT_EQ(api_->standin_controller_window(), window);
    EXPECT_EQ(api_->standin_controller_closed(), 0);

    auto *messages = new MessageSink;
    auto *navigation = new NavigationGuard;
    auto *windows = new WindowBlocker;
    ICoreWebView2 *view = nullptr;
    ICoreWebView2Settings *settings = nullptr;
    std::wstring page_path = temp_path(L"zfen-standin-p\u00e4ge-") + L".html";
    HANDLE page = CreateFileW(page_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(page, INVALID_HANDLE_VALUE);
    CloseHandle(page);
    const std::wstring page_uri = file_uri(page_path);

    ASSERT_TRUE(gui.run([&] {
        ICoreWebView2Controller *c = ctl_done->result;
        void *c4 = nullptr;
        ASSERT_EQ(c->vtbl->QueryInterface(c, &IID_ICoreWebView2Controller4, &c4), S_OK);
        EXPECT_EQ(c4, c);
        c->vtbl->Release(c);
        EXPECT_EQ(c->vtbl->put_Bounds(c, RECT{10, 20, 310, 220}), S_OK);
        EXPECT_EQ(c->vtbl->put_IsVisible(c, FALSE), S_OK);
        EXPECT_EQ(c->vtbl->put_AllowExternalDrop(c, FALSE), S_OK);
        EXPECT_EQ(c->vtbl->MoveFocus(c, COREWEBVIEW2_MOVE_FOCUS_REASON_NEXT), S_OK);
        RECT r = {};
        EXPECT_EQ(c->vtbl->get_Bounds(c, &r), S_OK);
        EXPECT_EQ(r.left, 10);
        EXPECT_EQ(r.bottom, 220);
        ASSERT_EQ(c->vtbl->get_CoreWebView2(c, &view), S_OK);
        ASSERT_EQ(view->vtbl->get_Settings(view, &settings), S_OK);
        void *s6 = nullptr;
        ASSERT_EQ(settings->vtbl->QueryInterface(settings, &IID_ICoreWebView2Settings6, &s6), S_OK);
        settings->vtbl->Release(settings);
        BOOL value = FALSE;
        EXPECT_EQ(settings->vtbl->get_IsScriptEnabled(settings, &value), S_OK);
        EXPECT_TRUE(value);
        EXPECT_EQ(settings->vtbl->get_IsPasswordAutosaveEnabled(settings, &value), S_OK);
        EXPECT_FALSE(value);
        EXPECT_EQ(settings->vtbl->put_AreDevToolsEnabled(settings, FALSE), S_OK);
        EXPECT_EQ(settings->vtbl->put_AreDefaultContextMenusEnabled(settings, FALSE), S_OK);
        EXPECT_EQ(settings->vtbl->put_IsSwipeNavigationEnabled(settings, FALSE), S_OK);
        EventRegistrationToken t1 = {}, t2 = {}, t3 = {};
        EXPECT_EQ(view->vtbl->add_WebMessageReceived(view, messages, &t1), S_OK);
        EXPECT_EQ(view->vtbl->add_NavigationStarting(view, navigation, &t2), S_OK);
        EXPECT_EQ(view->vtbl->add_NewWindowRequested(view, windows, &t3), S_OK);
        EXPECT_NE(t1.value, t2.value);
        EXPECT_NE(t2.value, t3.value);
        EXPECT_NE(t1.value, t3.value);
        EXPECT_EQ(view->vtbl->Navigate(view, page_uri.c_str()), S_OK);
        EXPECT_EQ(navigation->calls, 0); // raised later, not inside Navigate
        EXPECT_EQ(view->vtbl->PostWebMessageAsString(view, L"{\"type\":\"hello\"}"), S_OK);
    }));

    // The window follows the bounds and the visibility.
    RECT at = {};
    GetWindowRect(window, &at);
    MapWindowPoints(HWND_DESKTOP, gui.parent(), reinterpret_cast<POINT *>(&at), 2);
    EXPECT_EQ(at.left, 10);
    EXPECT_EQ(at.top, 20);
    EXPECT_EQ(at.right - at.left, 300);
    EXPECT_EQ(at.bottom - at.top, 200);
    EXPECT_FALSE(IsWindowVisible(window));
    RECT recorded = {};
    EXPECT_TRUE(api_->standin_controller_bounds(&recorded));
    EXPECT_EQ(recorded.right, 310);
    EXPECT_EQ(api_->standin_controller_visible(), 0);
    EXPECT_EQ(api_->standin_allow_external_drop(), 0);
    int reason = -1;
    EXPECT_EQ(api_->standin_move_focus_count(&reason), 1);
    EXPECT_EQ(reason, COREWEBVIEW2_MOVE_FOCUS_REASON_NEXT);
    ASSERT_TRUE(gui.run([&] { ctl_done->result->vtbl->put_IsVisible(ctl_done->result, TRUE); }));
    EXPECT_TRUE(IsWindowVisible(window));
    EXPECT_EQ(api_->standin_controller_visible(), 1);

    // Settings calls in order; posted texts from another thread.
    EXPECT_EQ(api_->settings_calls(),
              (std::vector<std::string>{"AreDevToolsEnabled=0", "AreDefaultContextMenusEnabled=0",
                                        "IsSwipeNavigationEnabled=0"}));
    BOOL now = TRUE;
    EXPECT_TRUE(api_->standin_setting_value("AreDevToolsEnabled", &now));
    EXPECT_FALSE(now);
    EXPECT_EQ(api_->posted(), std::vector<std::wstring>{L"{\"type\":\"hello\"}"});

    // The navigation the editor asked for became the page.
    ASSERT_EQ(api_->standin_sync(), S_OK);
    EXPECT_EQ(api_->navigations(), std::vector<std::wstring>{page_uri});
    ASSERT_EQ(navigation->calls, 1);
    EXPECT_EQ(navigation->uris[0], page_uri);
    EXPECT_FALSE(navigation->initial_cancel[0]);
    EXPECT_EQ(StandinApi::text_of(api_->standin_current_page), page_uri);

    // A navigation the handler cancels leaves the page as it was.
    BOOL cancelled = FALSE;
    EXPECT_EQ(api_->standin_start_navigation(L"https://example.com/", &cancelled), S_OK);
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(StandinApi::text_of(api_->standin_current_page), page_uri);
    // An uncancelled one to a file that does not exist loads nothing either.
    EXPECT_EQ(api_->standin_start_navigation(L"file:///Z:/no/such/page.html", &cancelled), S_OK);
    EXPECT_FALSE(cancelled);
    EXPECT_EQ(StandinApi::text_of(api_->standin_current_page), page_uri);
    // Percent-encoded UTF-8, as the editor writes its page's URI, names the same file.
    std::wstring encoded = L"file:///";
    for (unsigned char c : [&] {
             std::string u(page_path.size() * 4, '\0');
             u.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, page_path.c_str(),
                                                              static_cast<int>(page_path.size()), u.data(),
                                                              static_cast<int>(u.size()), nullptr, nullptr)));
             return u;
         }()) {
        const char *hex = "0123456789ABCDEF";
        if (c == '\\')
            encoded += L'/';
        else if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~')
            encoded += static_cast<wchar_t>(c);
        else
            encoded += std::wstring{L'%', static_cast<wchar_t>(hex[c >> 4]), static_cast<wchar_t>(hex[c & 15])};
    }
    EXPECT_NE(encoded.find(L"%C3%A4"), std::wstring::npos);
    EXPECT_EQ(api_->standin_start_navigation(encoded.c_str(), &cancelled), S_OK);
    EXPECT_FALSE(cancelled);
    EXPECT_EQ(StandinApi::text_of(api_->standin_current_page), encoded);
    EXPECT_EQ(navigation->calls, 4);

    // Messages from the page, on the GUI thread.
    EXPECT_EQ(api_->standin_page_posts_string(L"{\"type\":\"ready\"}"), S_OK);
    EXPECT_EQ(api_->standin_page_posts_json(L"{\"a\":1}"), S_OK);
    ASSERT_EQ(messages->calls, 2);
    EXPECT_EQ(messages->thread, gui.id());
    EXPECT_EQ(messages->string_results[0], S_OK);
    EXPECT_EQ(messages->strings[0], L"{\"type\":\"ready\"}");
    EXPECT_EQ(messages->jsons[0], L"\"{\\\"type\\\":\\\"ready\\\"}\"");
    EXPECT_EQ(messages->string_results[1], E_INVALIDARG);
    EXPECT_EQ(messages->jsons[1], L"{\"a\":1}");
    EXPECT_EQ(messages->sources[0], encoded); // the page now loaded

    BOOL handled = FALSE;
    EXPECT_EQ(api_->standin_request_new_window(L"https://example.com/popup", &handled), S_OK);
    EXPECT_TRUE(handled);
    EXPECT_EQ(windows->uris, std::vector<std::wstring>{L"https://example.com/popup"});

    // Close: the window goes, every handler is given back, later calls fail.
    EXPECT_GT(messages->refs, 1u);
    ASSERT_TRUE(gui.run([&] {
        ICoreWebView2Controller *c = ctl_done->result;
        EXPECT_EQ(c->vtbl->Close(c), S_OK);
        EXPECT_FALSE(IsWindow(window));
        EXPECT_NE(c->vtbl->put_Bounds(c, RECT{0, 0, 1, 1}), S_OK);
        EXPECT_NE(view->vtbl->PostWebMessageAsString(view, L"late"), S_OK);
    }));
    EXPECT_EQ(api_->standin_controller_closed(), 1);
    EXPECT_EQ(api_->standin_controller_window(), nullptr);
    EXPECT_EQ(messages->refs, 1u);
    EXPECT_EQ(navigation->refs, 1u);
    EXPECT_EQ(windows->refs, 1u);
    EXPECT_EQ(api_->standin_handlers_held(), 0);
    EXPECT_EQ(api_->standin_page_posts_string(L"late"), STANDIN_E_NO_VIEW);
    EXPECT_EQ(api_->misuses(),
              (std::vector<std::string>{"after Close: put_Bounds", "after Close: PostWebMessageAsString"}));

    // Giving back our references frees every stand-in object.
    EXPECT_GT(api_->standin_live_objects(), 0);
    ASSERT_TRUE(gui.run([&] {
        settings->vtbl->Release(settings);
        view->vtbl->Release(view);
        ctl_done->Release();
        env_done->Release();
    }));
    EXPECT_EQ(api_->standin_live_objects(), 0);
    EXPECT_EQ(options->refs, 1u);
    options->Release();
    messages->Release();
    navigation->Release();
    windows->Release();
    DeleteFileW(page_path.c_str());
}

TEST_F(StandinTest, ConfiguredFailuresArriveWhereConfigured)
{
    GuiThread gui;
    const HRESULT code = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);

    // The creating call itself fails: no result follows, no reference is kept.
    api_->standin_configure(STANDIN_FAIL_ENVIRONMENT_CALL, code, 0);
    auto *first = new EnvironmentDone;
    EXPECT_EQ(create_environment(gui, first, nullptr), code);
    EXPECT_EQ(api_->standin_sync(), STANDIN_E_NO_VIEW);
    Sleep(50);
    EXPECT_EQ(first->calls, 0);
    EXPECT_EQ(first->refs, 1u);
    first->Release();

    // The call succeeds and the result is the failure.
    api_->standin_configure(STANDIN_FAIL_ENVIRONMENT_INVOKE, E_FAIL, 0);
    auto *second = new EnvironmentDone;
    EXPECT_EQ(create_environment(gui, second, nullptr), S_OK);
    ASSERT_TRUE(wait_until([&] { return second->calls == 1; }));
    EXPECT_EQ(second->error, E_FAIL);
    EXPECT_EQ(second->result, nullptr);
    EXPECT_TRUE(wait_until([&] { return second->refs == 1; }));
    second->Release();

    // A good environment, then controllers that fail in each way.
    api_->standin_configure(STANDIN_FAIL_NONE, S_OK, 0);
    auto *env_done = new EnvironmentDone;
    ASSERT_EQ(create_environment(gui, env_done, nullptr), S_OK);
    ASSERT_TRUE(wait_until([&] { return env_done->calls == 1; }));
    ASSERT_NE(env_done->result, nullptr);
    EXPECT_EQ(api_->standin_target_version(nullptr, 0), -1); // no options given
    ICoreWebView2Environment *env = env_done->result;

    struct Case {
        int step;
        HRESULT code, call, result;
    };
    for (Case k : {Case{STANDIN_FAIL_CONTROLLER_CALL, E_UNEXPECTED, E_UNEXPECTED, E_PENDING},
                   Case{STANDIN_FAIL_CONTROLLER_INVOKE, E_UNEXPECTED, S_OK, E_UNEXPECTED},
                   Case{STANDIN_FAIL_CONTROLLER_NULL, S_OK, S_OK, S_OK}}) {
        SCOPED_TRACE(k.step);
        api_->standin_configure(k.step, k.code, 0);
        auto *done = new ControllerDone;
        HRESULT call = E_PENDING;
        ASSERT_TRUE(gui.run([&] { call = env->vtbl->CreateCoreWebView2Controller(env, gui.parent(), done); }));
        EXPECT_EQ(call, k.call);
        if (call == S_OK) {
            ASSERT_TRUE(wait_until([&] { return done->calls == 1; }));
        }
        EXPECT_EQ(done->error, k.result);
        EXPECT_EQ(done->result, nullptr);
        EXPECT_EQ(GetWindow(gui.parent(), GW_CHILD), nullptr); // no view window left behind
        EXPECT_TRUE(wait_until([&] { return done->refs == 1; }));
        done->Release();
    }

    // Optional interfaces absent, Navigate and the script setting failing.
    api_->standin_configure(STANDIN_FAIL_NAVIGATE, E_ACCESSDENIED,
                            STANDIN_ABSENT_CONTROLLER4 | STANDIN_ABSENT_SETTINGS5);
    auto *done = new ControllerDone;
    ASSERT_TRUE(gui.run([&] { EXPECT_EQ(env->vtbl->CreateCoreWebView2Controller(env, gui.parent(), done), S_OK); }));
    ASSERT_TRUE(wait_until([&] { return done->calls == 1; }));
    ASSERT_NE(done->result, nullptr);
    ASSERT_TRUE(gui.run([&] {
        ICoreWebView2Controller *c = done->result;
        void *p = reinterpret_cast<void *>(1);
        EXPECT_EQ(c->vtbl->QueryInterface(c, &IID_ICoreWebView2Controller4, &p), E_NOINTERFACE);
        EXPECT_EQ(p, nullptr);
        EXPECT_EQ(c->vtbl->QueryInterface(c, &IID_ICoreWebView2Controller3, &p), S_OK);
        c->vtbl->Release(c);
        ICoreWebView2 *view = nullptr;
        ASSERT_EQ(c->vtbl->get_CoreWebView2(c, &view), S_OK);
        EXPECT_EQ(view->vtbl->Navigate(view, L"file:///Z:/page.html"), E_ACCESSDENIED);
        ICoreWebView2Settings *s = nullptr;
        ASSERT_EQ(view->vtbl->get_Settings(view, &s), S_OK);
        EXPECT_EQ(s->vtbl->QueryInterface(s, &IID_ICoreWebView2Settings5, &p), E_NOINTERFACE);
        EXPECT_EQ(s->vtbl->QueryInterface(s, &IID_ICoreWebView2Settings4, &p), S_OK);
        s->vtbl->Release(s);
        api_->standin_configure(STANDIN_FAIL_SCRIPT_SETTING, E_INVALIDARG, STANDIN_ABSENT_SETTINGS5);
        EXPECT_EQ(s->vtbl->put_IsScriptEnabled(s, FALSE), E_INVALIDARG);
        // Through an interface the runtime lacks: refused and noted.
        EXPECT_EQ(s->vtbl->put_IsPinchZoomEnabled(s, FALSE), E_NOTIMPL);
        BOOL script = FALSE;
        EXPECT_EQ(s->vtbl->get_IsScriptEnabled(s, &script), S_OK);
        EXPECT_TRUE(script); // a failed put changes nothing
        s->vtbl->Release(s);
        view->vtbl->Release(view);
        EXPECT_EQ(c->vtbl->Close(c), S_OK);
    }));
    EXPECT_EQ(api_->settings_calls(), (std::vector<std::string>{"IsScriptEnabled=0", "!IsPinchZoomEnabled=0"}));
    EXPECT_EQ(api_->misuses(), std::vector<std::string>{"absent interface: put_IsPinchZoomEnabled"});
    ASSERT_TRUE(gui.run([&] {
        done->Release();
        env_done->Release();
    }));
}

TEST_F(StandinTest, ControllerCreatedOnAnotherThreadIsRefusedAndNoted)
{
    GuiThread gui;
    auto *env_done = new EnvironmentDone;
    ASSERT_EQ(create_environment(gui, env_done, nullptr), S_OK);
    ASSERT_TRUE(wait_until([&] { return env_done->calls == 1; }));
    auto *done = new ControllerDone;
    ICoreWebView2Environment *env = env_done->result;
    EXPECT_EQ(env->vtbl->CreateCoreWebView2Controller(env, gui.parent(), done), RPC_E_WRONG_THREAD);
    EXPECT_EQ(api_->misuses(), std::vector<std::string>{"wrong thread: CreateCoreWebView2Controller"});
    EXPECT_EQ(done->refs, 1u);
    done->Release();
    ASSERT_TRUE(gui.run([&] { env_done->Release(); }));
}

TEST_F(StandinTest, ParentDestroyedBeforeTheResultGivesAbort)
{
    GuiThread gui;
    auto *env_done = new EnvironmentDone;
    ASSERT_EQ(create_environment(gui, env_done, nullptr), S_OK);
    ASSERT_TRUE(wait_until([&] { return env_done->calls == 1; }));
    auto *done = new ControllerDone;
    ASSERT_TRUE(gui.run([&] {
        ICoreWebView2Environment *env = env_done->result;
        EXPECT_EQ(env->vtbl->CreateCoreWebView2Controller(env, gui.parent(), done), S_OK);
        DestroyWindow(gui.parent());
    }));
    ASSERT_TRUE(wait_until([&] { return done->calls == 1; }));
    EXPECT_EQ(done->error, E_ABORT);
    EXPECT_EQ(done->result, nullptr);
    ASSERT_TRUE(gui.run([&] {
        done->Release();
        env_done->Release();
    }));
}

TEST(Rundll32Standin, RecordsItsCommandLineAsUtf8)
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    std::wstring log = std::wstring(dir) + L"zfen-rundll32-" + std::to_wstring(GetCurrentProcessId()) + L".log";
    DeleteFileW(log.c_str());
    ASSERT_TRUE(SetEnvironmentVariableW(L"ZFEN_RUNDLL32_LOG", log.c_str()));
    // No application name: the search starts in this program's folder, and
    // finds "rundll32" with or without its extension.
    const std::wstring tail = L" url.dll,FileProtocolHandler \"https://example.com/caf\u00e9 ok\"";
    for (const wchar_t *program : {L"rundll32.exe", L"rundll32"}) {
        std::wstring line = program + tail;
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        std::vector<wchar_t> buffer(line.begin(), line.end());
        buffer.push_back(L'\0');
        ASSERT_TRUE(CreateProcessW(nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
        ASSERT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
        DWORD exit_code = 1;
        GetExitCodeProcess(pi.hProcess, &exit_code);
        EXPECT_EQ(exit_code, 0u);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    SetEnvironmentVariableW(L"ZFEN_RUNDLL32_LOG", nullptr);

    HANDLE file = CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "the stand-in did not run";
    char text[1024] = {};
    DWORD got = 0;
    ReadFile(file, text, sizeof text - 1, &got, nullptr);
    CloseHandle(file);
    DeleteFileW(log.c_str());
    const std::string rest = " url.dll,FileProtocolHandler \"https://example.com/caf\xc3\xa9 ok\"\n";
    EXPECT_EQ(std::string(text, got), "rundll32.exe" + rest + "rundll32" + rest);
}

} // namespace

// Records BrowserProcessExited as the editor's handler would see it.
struct ExitSink : Unknown<ICoreWebView2BrowserProcessExitedEventHandler> {
    std::atomic<int> calls{0};
    DWORD thread = 0;
    ExitSink() : Unknown(IID_ICoreWebView2BrowserProcessExitedEventHandler) {}
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2Environment *, ICoreWebView2BrowserProcessExitedEventArgs *) override
    {
        thread = GetCurrentThreadId();
        ++calls;
        return S_OK;
    }
};

// The runtime's habit: the folder stays held a moment after Close, then the
// event comes from the GUI thread's loop. (The switches that take the event
// or Environment5 away are seen through the editor's tests.)
TEST_F(StandinTest, BrowserProcessesHoldTheFolderUntilAMomentAfterClose)
{
    GuiThread gui;
    auto *env_done = new EnvironmentDone;
    ASSERT_EQ(create_environment(gui, env_done, nullptr), S_OK);
    ASSERT_TRUE(wait_until([&] { return env_done->calls == 1; }));
    auto *sink = new ExitSink;
    auto *done = new ControllerDone;
    ICoreWebView2Environment5 *env5 = nullptr;
    EventRegistrationToken token{};
    ASSERT_TRUE(gui.run([&] {
        ICoreWebView2Environment *env = env_done->result;
        void *p = nullptr;
        ASSERT_EQ(env->vtbl->QueryInterface(env, &IID_ICoreWebView2Environment5, &p), S_OK);
        env5 = static_cast<ICoreWebView2Environment5 *>(p);
        EXPECT_EQ(env5->vtbl->add_BrowserProcessExited(env5, sink, &token), S_OK);
        EXPECT_EQ(env->vtbl->CreateCoreWebView2Controller(env, gui.parent(), done), S_OK);
    }));
    ASSERT_TRUE(wait_until([&] { return done->calls == 1; }));
    EXPECT_EQ(api_->standin_browsers_running(), 1);
    const std::wstring held = folder_ + L"\\EBWebView\\lockfile";
    const auto closed_at = std::chrono::steady_clock::now();
    ASSERT_TRUE(gui.run([&] { done->result->vtbl->Close(done->result); }));
    EXPECT_FALSE(DeleteFileW(held.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ASSERT_TRUE(wait_until([&] { return sink->calls == 1; }));
    EXPECT_GE(std::chrono::steady_clock::now() - closed_at, std::chrono::milliseconds(STANDIN_EXIT_DELAY_MS - 20));
    EXPECT_EQ(sink->thread, gui.id());
    EXPECT_EQ(api_->standin_browsers_running(), 0);
    EXPECT_TRUE(DeleteFileW(held.c_str()));
    ASSERT_TRUE(gui.run([&] {
        EXPECT_EQ(env5->vtbl->remove_BrowserProcessExited(env5, token), S_OK);
        env5->vtbl->Release(env5);
        done->Release();
        env_done->Release();
    }));
    EXPECT_EQ(sink->refs, 1u);
    sink->Release();
}
