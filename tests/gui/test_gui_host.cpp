// The GUI host under Wine against the stand-in WebView2 loader: start-up and
// teardown leaving nothing behind, every failure path, the page protocol
// through the browser, the cross-thread calls under stress, and the
// navigation policy with the stand-in rundll32.exe.
#include "gui/gui_host.h"
#include "gui/win32/gui_host_win32.h"
#include "gui_test_support.h"
#include "vst3_host/host_module.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string loader_dir_text() { return host_path(ZFEN_STANDIN_LOADER_DIR); }

std::wstring wide(const std::string &s)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), n);
    w.resize(static_cast<size_t>(n - 1));
    return w;
}

// Names in a folder that start with a prefix.
std::set<std::wstring> entries(const std::wstring &folder, const wchar_t *prefix)
{
    std::set<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE f = FindFirstFileW((folder + L"\\" + prefix + L"*").c_str(), &fd);
    if (f == INVALID_HANDLE_VALUE)
        return names;
    do
        names.insert(fd.cFileName);
    while (FindNextFileW(f, &fd));
    FindClose(f);
    return names;
}

std::wstring temp_dir()
{
    wchar_t buf[MAX_PATH];
    GetTempPathW(MAX_PATH, buf);
    std::wstring s = buf;
    if (!s.empty() && s.back() == L'\\')
        s.pop_back();
    return s;
}

struct Edit {
    char kind;
    uint32_t index;
    float value;
    DWORD thread;
};

// What a front end gives the host: folders, and an edit target that records
// the touches ('b' on, 'e' off) and values ('s') it is handed.
struct Frontend {
    std::string loader = loader_dir_text();
    std::string page;
    std::vector<Edit> edits;
    std::function<void(char, uint32_t, float)> on_edit; // runs inside the call
    GuiHostDesc desc{};

    explicit Frontend(const std::string &page_dir) : page(page_dir)
    {
        desc.format_name = "test";
        desc.loader_dir = [](void *u) { return static_cast<Frontend *>(u)->loader.c_str(); };
        desc.page_dir = [](void *u) { return static_cast<Frontend *>(u)->page.c_str(); };
        desc.edit.user = this;
        desc.edit.current = [](void *, uint32_t) { return 0.0; };
        desc.edit.touch = [](void *u, const ParamEdit *e, bool on) {
            static_cast<Frontend *>(u)->record(on ? 'b' : 'e', e);
        };
        desc.edit.set = [](void *u, const ParamEdit *e) { static_cast<Frontend *>(u)->record('s', e); };
    }
    void record(char kind, const ParamEdit *e)
    {
        const float v = static_cast<float>(e->plain);
        const auto index = static_cast<uint32_t>(e->desc->index);
        edits.push_back({kind, index, v, GetCurrentThreadId()});
        if (on_edit)
            on_edit(kind, index, v);
    }
};

class GuiHostTest : public testing::Test {
protected:
    HMODULE standin_module = nullptr;
    StandinApi *api = nullptr;
    HWND parent = nullptr;
    std::string page_dir;
    std::wstring rundll32_log;

    void SetUp() override
    {
        // A temporary folder of this program's own, so that editors other
        // tests open meanwhile do not show in the checks of what is left behind.
        static const std::wstring own_temp = [] {
            wchar_t base[MAX_PATH];
            GetTempPathW(MAX_PATH, base);
            const std::wstring dir = std::wstring(base) + L"zfen-gui-host-" + std::to_wstring(GetCurrentProcessId());
            CreateDirectoryW(dir.c_str(), nullptr);
            SetEnvironmentVariableW(L"TMP", dir.c_str());
            SetEnvironmentVariableW(L"TEMP", dir.c_str());
            return dir;
        }();
        ASSERT_EQ(temp_dir(), own_temp);
        // The same path as the host's, so both see one module.
        standin_module = LoadLibraryA((loader_dir_text() + "\\WebView2Loader.dll").c_str());
        ASSERT_NE(standin_module, nullptr);
        api = new StandinApi(standin_module);
        ASSERT_TRUE(api->ok);
        api->standin_reset();

        parent = make_host_window(900, 700);
        ASSERT_NE(parent, nullptr);

        // A page folder with an index.html the stand-in can load.
        char tmp[MAX_PATH];
        GetTempPathA(MAX_PATH, tmp);
        page_dir = std::string(tmp) + "zfen-page-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(page_dir.c_str(), nullptr);
        std::ofstream(page_dir + "\\index.html") << "<!doctype html><title>editor</title>";
        rundll32_log = temp_dir() + L"\\zfen-rundll32-" + std::to_wstring(GetCurrentProcessId()) + L".log";
        DeleteFileW(rundll32_log.c_str());
        SetEnvironmentVariableW(L"ZFEN_RUNDLL32_LOG", rundll32_log.c_str());
    }
    void TearDown() override
    {
        if (api) {
            EXPECT_EQ(api->misuses(), std::vector<std::string>{});
            delete api;
        }
        if (parent)
            DestroyWindow(parent);
        DeleteFileA((page_dir + "\\index.html").c_str());
        RemoveDirectoryA(page_dir.c_str());
        DeleteFileW(rundll32_log.c_str());
        if (standin_module)
            FreeLibrary(standin_module);
    }

    GuiHost *create(Frontend &f, bool child = true, const GuiTextHandler *text = nullptr)
    {
        return gui_host_create(child, child ? parent : nullptr, &f.desc, text, 800, 600, 4);
    }
    HRESULT page_posts(const std::wstring &text) { return api->standin_page_posts_string(text.c_str()); }
    std::vector<std::string> rundll32_lines() const
    {
        std::vector<std::string> lines;
        std::ifstream in(rundll32_log.c_str());
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }
};

std::string class_of(HWND w)
{
    char name[64] = {};
    GetClassNameA(w, name, sizeof name);
    return name;
}

bool exists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Classes registered without a module instance count as the program's.
bool class_registered(const std::string &name)
{
    WNDCLASSA wc;
    return GetClassInfoA(nullptr, name.c_str(), &wc) != 0 ||
           GetClassInfoA(GetModuleHandleA(nullptr), name.c_str(), &wc) != 0;
}

} // namespace

TEST_F(GuiHostTest, StartsInTheHostWindowAndLeavesNothingBehind)
{
    const std::wstring tmp = temp_dir();
    const std::set<std::wstring> before = entries(tmp, L"did");
    Frontend f(page_dir);
    GuiHost *h = create(f);
    ASSERT_NE(h, nullptr);
    HWND w = static_cast<HWND>(gui_host_window(h));
    ASSERT_TRUE(IsWindow(w));
    EXPECT_EQ(GetAncestor(w, GA_PARENT), parent);
    // Shown by the GUI thread right after it reports ready.
    EXPECT_TRUE(pump_until([&] { return IsWindowVisible(w) != 0; }));
    const std::string gui_class = class_of(w);
    ASSERT_EQ(gui_class[0], 'c');
    const std::string relay_class = "d" + gui_class.substr(1);
    EXPECT_TRUE(class_registered(gui_class));
    EXPECT_TRUE(class_registered(relay_class));

    // What the browser was asked for.
    EXPECT_EQ(StandinApi::text_of(api->standin_browser_arguments), L"--allow-file-access-from-files");
    EXPECT_EQ(StandinApi::text_of(api->standin_target_version), L"131.0.2903.40");
    EXPECT_EQ(api->standin_browser_folder(nullptr, 0), -1);
    const std::wstring folder = StandinApi::text_of(api->standin_user_data_folder);
    EXPECT_EQ(folder.rfind(tmp + L"\\did", 0), 0u) << folder;
    EXPECT_NE(GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES);
    ASSERT_EQ(api->navigations().size(), 1u);
    const std::wstring page = api->navigations()[0];
    EXPECT_EQ(page.rfind(L"file:///", 0), 0u) << page;
    EXPECT_NE(page.find(L"/index.html"), std::wstring::npos) << page;
    EXPECT_EQ(StandinApi::text_of(api->standin_current_page), page);
    EXPECT_EQ(api->settings_calls(),
              (std::vector<std::string>{
                  "AreDefaultContextMenusEnabled=0", "AreDevToolsEnabled=0", "IsStatusBarEnabled=0",
                  "IsZoomControlEnabled=0", "AreDefaultScriptDialogsEnabled=0", "AreBrowserAcceleratorKeysEnabled=0",
                  "IsPasswordAutosaveEnabled=0", "IsGeneralAutofillEnabled=0", "IsPinchZoomEnabled=0",
                  "IsSwipeNavigationEnabled=0", "IsScriptEnabled=1", "AreHostObjectsAllowed=1"}));
    EXPECT_EQ(api->standin_allow_external_drop(), 0);
    EXPECT_EQ(api->standin_controller_visible(), 1);
    RECT bounds;
    ASSERT_TRUE(api->standin_controller_bounds(&bounds));
    EXPECT_EQ(bounds.right - bounds.left, 800);
    EXPECT_EQ(bounds.bottom - bounds.top, 600);
    // The browser follows the window's size.
    SetWindowPos(w, nullptr, 0, 0, 640, 480, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ASSERT_TRUE(api->standin_controller_bounds(&bounds));
    EXPECT_EQ(bounds.right - bounds.left, 640);
    EXPECT_EQ(bounds.bottom - bounds.top, 480);
    // The temporary file that named the folder keeps the name taken while the editor is open.
    EXPECT_NE(GetFileAttributesW((folder + L".tmp").c_str()), INVALID_FILE_ATTRIBUTES);

    gui_host_destroy(h);
    EXPECT_FALSE(IsWindow(w));
    EXPECT_FALSE(class_registered(gui_class));
    EXPECT_FALSE(class_registered(relay_class));
    EXPECT_EQ(api->standin_controller_closed(), 1);
    // The folder goes once the runtime reports its browser processes gone.
    EXPECT_TRUE(browsers_gone(*api));
    EXPECT_EQ(GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES) << "user data folder left behind";
    EXPECT_EQ(entries(tmp, L"did"), before);
    EXPECT_EQ(api->standin_handlers_held(), 0);
}

TEST_F(GuiHostTest, EveryStartUpFailureLeavesNothingBehind)
{
    const std::wstring tmp = temp_dir();
    const std::set<std::wstring> before = entries(tmp, L"did");
    const struct {
        int step;
        HRESULT code;
    } failures[] = {
        {STANDIN_FAIL_ENVIRONMENT_CALL, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
        {STANDIN_FAIL_ENVIRONMENT_INVOKE, E_FAIL},
        {STANDIN_FAIL_CONTROLLER_CALL, E_ACCESSDENIED},
        {STANDIN_FAIL_CONTROLLER_INVOKE, E_ABORT},
        {STANDIN_FAIL_CONTROLLER_NULL, S_OK},
        {STANDIN_FAIL_NAVIGATE, E_INVALIDARG},
        {STANDIN_FAIL_SCRIPT_SETTING, E_FAIL},
        {STANDIN_FAIL_SCRIPT_SETTING, S_FALSE}, // only exactly S_OK counts
    };
    for (const auto &fail : failures) {
        SCOPED_TRACE(fail.step);
        api->standin_reset();
        api->standin_configure(fail.step, fail.code, 0);
        Frontend f(page_dir);
        EXPECT_EQ(create(f), nullptr);
        EXPECT_TRUE(browsers_gone(*api));
        EXPECT_EQ(entries(tmp, L"did"), before);
        EXPECT_EQ(api->standin_handlers_held(), 0);
    }
    // No loader, and a page folder that is not UTF-8.
    Frontend none(page_dir);
    none.loader = page_dir;
    EXPECT_EQ(create(none), nullptr);
    Frontend bad_page(page_dir);
    bad_page.page = "\xff\xfe";
    EXPECT_EQ(create(bad_page), nullptr);
    EXPECT_EQ(entries(tmp, L"did"), before);
    // The top-level window of a failed start is gone too: the thread has no windows left.
    api->standin_reset();
    api->standin_configure(STANDIN_FAIL_NAVIGATE, E_FAIL, 0);
    Frontend top(page_dir);
    EXPECT_EQ(create(top, false), nullptr);
    EXPECT_TRUE(browsers_gone(*api));

    // Every failed start gave its hold on the loader back (its GUI thread
    // last of all): with ours gone, it unloads.
    const std::string path = loader_dir_text() + "\\WebView2Loader.dll";
    delete api;
    api = nullptr;
    FreeLibrary(standin_module);
    EXPECT_TRUE(pump_until([&] { return GetModuleHandleA(path.c_str()) == nullptr; }));
    standin_module = LoadLibraryA(path.c_str());
    ASSERT_NE(standin_module, nullptr);
    api = new StandinApi(standin_module);
    ASSERT_TRUE(api->ok);
}

TEST_F(GuiHostTest, OptionalInterfacesMayBeMissing)
{
    api->standin_configure(STANDIN_FAIL_NONE, S_OK,
                           STANDIN_ABSENT_CONTROLLER4 | STANDIN_ABSENT_SETTINGS3 | STANDIN_ABSENT_SETTINGS4 |
                               STANDIN_ABSENT_SETTINGS5 | STANDIN_ABSENT_SETTINGS6);
    Frontend f(page_dir);
    GuiHost *h = create(f);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(
        api->settings_calls(),
        (std::vector<std::string>{"AreDefaultContextMenusEnabled=0", "AreDevToolsEnabled=0", "IsStatusBarEnabled=0",
                                  "IsZoomControlEnabled=0", "AreDefaultScriptDialogsEnabled=0", "IsScriptEnabled=1",
                                  "AreHostObjectsAllowed=1"}));
    EXPECT_EQ(api->standin_allow_external_drop(), -1);
    gui_host_destroy(h);
    EXPECT_TRUE(browsers_gone(*api));
}

TEST_F(GuiHostTest, ThePageGetsValuesAndSendsEditsToTheCreatorThread)
{
    Frontend f(page_dir);
    GuiHost *h = create(f);
    ASSERT_NE(h, nullptr);
    gui_host_set_value(h, 0, 15.0f);
    gui_host_set_value(h, 2, 7.0f);
    gui_host_set_value(h, 3, 248.0f);
    gui_host_set_value(h, 4, 1.0f); // past the value count: ignored
    gui_host_set_value(h, 0xFFFFFFFFu, 1.0f);
    EXPECT_EQ(api->posted(),
              (std::vector<std::wstring>{value_message(0, 15.0f), value_message(2, 7.0f), value_message(3, 248.0f)}));

    // "g" is answered from the cache, without a call to the plug-in side.
    ASSERT_EQ(page_posts(L"g"), S_OK);
    const std::vector<std::wstring> posted = api->posted();
    ASSERT_EQ(posted.size(), 7u);
    EXPECT_EQ(std::vector<std::wstring>(posted.begin() + 3, posted.end()),
              (std::vector<std::wstring>{value_message(0, 15.0f), value_message(1, 0.0f), value_message(2, 7.0f),
                                         value_message(3, 248.0f)}));
    EXPECT_TRUE(f.edits.empty());

    // A gesture, delivered from another thread while this one pumps its messages.
    std::thread page([&] {
        page_posts(L"b 0 40f33333"); // 7.6
        page_posts(L"s 0 41000000"); // 8
        page_posts(L"e 0 41000000");
        page_posts(L"s 4 3f800000"); // index out of range: ignored
    });
    ASSERT_TRUE(pump_until([&] { return f.edits.size() >= 5; }));
    page.join();
    pump_until([] { return false; }, 50);
    // Quantised through the parameter table: touch on and the value, the
    // value, the value and touch off.
    std::string kinds;
    for (const Edit &e : f.edits) {
        kinds += e.kind;
        EXPECT_EQ(e.index, 0u);
        EXPECT_EQ(e.value, 8.0f);
        EXPECT_EQ(e.thread, GetCurrentThreadId()); // always on the creator thread
    }
    EXPECT_EQ(kinds, "bssse");
    // Non-string messages never reach the parser.
    EXPECT_EQ(api->standin_page_posts_json(L"{\"b\":1}"), S_OK);
    EXPECT_EQ(f.edits.size(), 5u);
    gui_host_destroy(h);
}

TEST_F(GuiHostTest, AValueSetInsideAnEditReachesThePageBeforeTheEditReturns)
{
    Frontend f(page_dir);
    GuiHost *h = create(f);
    ASSERT_NE(h, nullptr);
    size_t posted_inside = 0;
    f.on_edit = [&](char kind, uint32_t index, float value) {
        if (kind != 's')
            return;
        // The plug-in side answers with a value of its own and the output.
        gui_host_set_value(h, index, value + 1.0f);
        gui_host_set_value(h, 3, 100.0f);
        posted_inside = api->posted().size();
    };
    std::thread page([&] { page_posts(L"s 1 40a00000"); }); // 5
    ASSERT_TRUE(pump_until([&] { return !f.edits.empty(); }));
    page.join();
    EXPECT_EQ(posted_inside, 2u);
    EXPECT_EQ(api->posted(), (std::vector<std::wstring>{value_message(1, 6.0f), value_message(3, 100.0f)}));
    // The cache follows: "g" reports them.
    ASSERT_EQ(page_posts(L"g"), S_OK);
    EXPECT_EQ(api->posted().back(), value_message(3, 100.0f));
    gui_host_destroy(h);
}

TEST_F(GuiHostTest, TextMessagesAndTheMessageBufferBoundary)
{
    struct Texts {
        std::vector<std::string> seen;
        std::vector<const char *> where;
    } texts;
    const GuiTextHandler handler{&texts, [](GuiHost *, void *u, const char *t) {
                                     static_cast<Texts *>(u)->seen.push_back(t);
                                     static_cast<Texts *>(u)->where.push_back(t);
                                 }};
    Frontend f(page_dir);
    GuiHost *h = create(f, true, &handler);
    ASSERT_NE(h, nullptr);
    // 1023 ASCII characters and the NUL fit the handler's 1024-byte buffer; one more does not.
    const std::wstring small = L"m " + std::wstring(1021, L'a');
    const std::wstring large = L"m " + std::wstring(1022, L'b');
    ASSERT_EQ(page_posts(small), S_OK);
    ASSERT_EQ(page_posts(small), S_OK);
    ASSERT_EQ(page_posts(large), S_OK);
    ASSERT_EQ(page_posts(L"m caf\u00e9"), S_OK);
    ASSERT_EQ(texts.seen.size(), 4u);
    EXPECT_EQ(texts.seen[0], std::string(1021, 'a'));
    EXPECT_EQ(texts.seen[2], std::string(1022, 'b'));
    EXPECT_EQ(texts.seen[3], "caf\xC3\xA9");
    EXPECT_EQ(texts.where[0], texts.where[1]); // the same buffer, no allocation
    EXPECT_EQ(texts.where[0], texts.where[3]);
    EXPECT_TRUE(texts.where[2] < texts.where[0] || texts.where[2] >= texts.where[0] + 1022); // elsewhere

    gui_host_post_text(h, "hello \xC3\xA9");
    gui_host_post_text(h, "\xC0\x80"); // not UTF-8: nothing
    EXPECT_EQ(api->posted(), (std::vector<std::wstring>{L"m hello \u00e9"}));
    gui_host_destroy(h);
}

TEST_F(GuiHostTest, PrivateMessagesAreTakenOnlyFromTheirSenders)
{
    Frontend f(page_dir);
    GuiHost *h = create(f);
    ASSERT_NE(h, nullptr);
    // The browser's own windows live on the GUI thread too.
    HWND view = api->standin_controller_window();
    ASSERT_NE(view, nullptr);
    PostMessageA(view, WM_APP + 2, 1, 0x3f800000);
    PostMessageA(view, WM_APP + 1, 0, 0); // not a destroy request
    ASSERT_EQ(api->standin_sync(), S_OK);
    EXPECT_TRUE(api->posted().empty());

    // Our own windows, posted to by someone else (any program can post to a
    // window): nothing is read through the pointer, no edit reaches the plug-in,
    // and the requests that follow are still answered in turn.
    HWND w = static_cast<HWND>(gui_host_window(h));
    const std::string relay_class = "d" + class_of(w).substr(1);
    HWND relay = FindWindowExA(HWND_MESSAGE, nullptr, relay_class.c_str(), nullptr);
    ASSERT_NE(relay, nullptr);
    PostMessageA(w, WM_APP + 3, 0, 0x1234);         // a text "at" a wild pointer
    PostMessageA(w, WM_APP + 2, 0, 0x41200000);     // a value nobody asked to send
    PostMessageA(relay, WM_APP + 5, 0, 0x41200000); // an edit the page never made
    PostMessageA(relay, WM_APP + 4, 0, 0x41200000);
    ASSERT_EQ(api->standin_sync(), S_OK);
    pump_until([] { return false; }, 100);
    EXPECT_TRUE(api->posted().empty());
    EXPECT_TRUE(f.edits.empty());
    gui_host_set_value(h, 2, 3.0f);
    gui_host_post_text(h, "after");
    EXPECT_EQ(api->posted(), (std::vector<std::wstring>{value_message(2, 3.0f), L"m after"}));
    gui_host_destroy(h);
}

TEST_F(GuiHostTest, NavigationPolicy)
{
    Frontend f(page_dir);
    GuiHost *h = create(f);
    ASSERT_NE(h, nullptr);
    const std::wstring editor = StandinApi::text_of(api->standin_current_page);
    BOOL cancelled = FALSE;

    // A web link stays out of the editor and opens in the user's browser.
    ASSERT_EQ(api->standin_start_navigation(L"https://vornic.audio/manual", &cancelled), S_OK);
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(StandinApi::text_of(api->standin_current_page), editor);
    ASSERT_EQ(rundll32_lines().size(), 1u);
    EXPECT_NE(rundll32_lines()[0].find("url.dll,FileProtocolHandler \"https://vornic.audio/manual\""),
              std::string::npos)
        << rundll32_lines()[0];

    // Schemes that are not for a browser, and addresses that could break out
    // of the command line, are cancelled and start nothing.
    for (const wchar_t *uri :
         {L"javascript:alert(1)", L"ftp://example.com/x", L"FILE:///c:/x.html", L"https://example.com/\" & calc.exe \"",
          L"https://example.com/\x01x", L"data:text/html,hi"}) {
        cancelled = FALSE;
        ASSERT_EQ(api->standin_start_navigation(uri, &cancelled), S_OK);
        EXPECT_TRUE(cancelled) << uri;
    }
    EXPECT_EQ(rundll32_lines().size(), 1u);
    EXPECT_EQ(StandinApi::text_of(api->standin_current_page), editor);

    // Another local page is allowed and replaces the editor page.
    const std::string other = page_dir + "\\other.html";
    std::ofstream(other) << "<!doctype html><title>other</title>";
    std::wstring other_uri = L"file:///" + wide(other);
    for (wchar_t &c : other_uri)
        if (c == L'\\')
            c = L'/';
    cancelled = TRUE;
    ASSERT_EQ(api->standin_start_navigation(other_uri.c_str(), &cancelled), S_OK);
    EXPECT_FALSE(cancelled);
    EXPECT_EQ(StandinApi::text_of(api->standin_current_page), other_uri);

    // window.open: no new window for a web address, which opens outside; a local one is left to the runtime.
    BOOL handled = FALSE;
    ASSERT_EQ(api->standin_request_new_window(L"mailto:support@vornic.audio", &handled), S_OK);
    EXPECT_TRUE(handled);
    ASSERT_EQ(rundll32_lines().size(), 2u);
    handled = TRUE;
    ASSERT_EQ(api->standin_request_new_window(other_uri.c_str(), &handled), S_OK);
    EXPECT_FALSE(handled);
    EXPECT_EQ(rundll32_lines().size(), 2u);
    gui_host_destroy(h);
    DeleteFileA(other.c_str());
}

TEST_F(GuiHostTest, TwoHostsAtOnceAndManyCycles)
{
    Frontend f1(page_dir), f2(page_dir);
    GuiHost *a = create(f1);
    ASSERT_NE(a, nullptr);
    const std::wstring folder_a = StandinApi::text_of(api->standin_user_data_folder);
    GuiHost *b = create(f2); // its start's sweep passes a's folder by
    ASSERT_NE(b, nullptr);
    const std::wstring folder_b = StandinApi::text_of(api->standin_user_data_folder);
    EXPECT_NE(folder_a, folder_b);
    EXPECT_TRUE(exists(folder_a + L"\\" + k_wv2_marker_name));
    EXPECT_NE(class_of(static_cast<HWND>(gui_host_window(a))), class_of(static_cast<HWND>(gui_host_window(b))));
    gui_host_set_value(a, 0, 1.0f);
    gui_host_set_value(b, 0, 2.0f);
    EXPECT_EQ(api->posted().size(), 2u);
    gui_host_destroy(a);
    EXPECT_TRUE(pump_until([&] { return !exists(folder_a); }));
    EXPECT_TRUE(exists(folder_b + L"\\" + k_wv2_marker_name)); // only its own
    gui_host_set_value(b, 1, 3.0f);                            // the other one goes on
    EXPECT_EQ(api->posted().back(), value_message(1, 3.0f));
    gui_host_destroy(b);
    EXPECT_TRUE(browsers_gone(*api));

    const std::wstring tmp = temp_dir();
    const std::set<std::wstring> before = entries(tmp, L"did");
    int cycles = 0;
    for (; cycles < 200; ++cycles) {
        Frontend f(page_dir);
        GuiHost *h = create(f);
        ASSERT_NE(h, nullptr) << cycles;
        HWND w = static_cast<HWND>(gui_host_window(h));
        gui_host_set_value(h, 3, static_cast<float>(cycles));
        gui_host_destroy(h);
        ASSERT_FALSE(IsWindow(w)) << cycles;
    }
    EXPECT_EQ(cycles, 200);
    // Once the last editor's browser processes have gone, so have all their folders.
    EXPECT_TRUE(browsers_gone(*api, 20000));
    EXPECT_EQ(entries(tmp, L"did"), before);
}

TEST_F(GuiHostTest, ClosingATopLevelEditorEndsItsThread)
{
    Frontend f(page_dir);
    GuiHost *h = create(f, false);
    ASSERT_NE(h, nullptr);
    HWND w = static_cast<HWND>(gui_host_window(h));
    EXPECT_EQ(GetAncestor(w, GA_PARENT), GetDesktopWindow());
    const std::wstring folder = StandinApi::text_of(api->standin_user_data_folder);
    PostMessageA(w, WM_CLOSE, 0, 0); // the user closes it
    ASSERT_TRUE(pump_until([&] { return !IsWindow(w); }));
    ASSERT_TRUE(pump_until([&] { return api->standin_controller_closed() == 1; }));
    EXPECT_TRUE(pump_until([&] { return gui_host_window(h) == nullptr; })); // once its thread is done
    gui_host_set_value(h, 0, 1.0f);                                         // nothing to post to: returns at once
    const auto start = Clock::now();
    gui_host_destroy(h);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(browsers_gone(*api));
    EXPECT_EQ(GetFileAttributesW(folder.c_str()), INVALID_FILE_ATTRIBUTES);
}

// Both directions at once, from the creator, from other threads and from
// inside edits: every run ends and every value arrives in order.
TEST_F(GuiHostTest, CrossThreadStress)
{
    const auto until = Clock::now() + std::chrono::seconds(20);
    int rounds = 0;
    for (; rounds < 20 && Clock::now() < until; ++rounds) {
        api->standin_reset();
        Frontend f(page_dir);
        GuiHost *h = create(f);
        ASSERT_NE(h, nullptr);
        f.on_edit = [&](char kind, uint32_t, float value) {
            if (kind == 's' && static_cast<int>(value) % 7 == 0)
                gui_host_set_value(h, 3, value); // answered from inside the edit
        };
        constexpr int kEdits = 60, kSets = 60;
        std::atomic<bool> page_done{false}, other_done{false};
        std::thread page([&] {
            for (int i = 0; i < kEdits; ++i) // the Modulated Cutoff's range keeps every value
                page_posts(value_message(3, static_cast<float>(i)));
            page_done = true;
        });
        std::thread other([&] {
            for (int i = 0; i < kSets; ++i)
                gui_host_set_value(h, 2, static_cast<float>(1000 + i));
            other_done = true;
        });
        for (int i = 0; i < kSets; ++i) {
            gui_host_set_value(h, 1, static_cast<float>(i));
            MSG m;
            while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageA(&m);
        }
        ASSERT_TRUE(pump_until([&] { return page_done && other_done; }, 15000)) << "round " << rounds;
        page.join();
        other.join();
        ASSERT_EQ(f.edits.size(), static_cast<size_t>(kEdits));
        for (int i = 0; i < kEdits; ++i)
            ASSERT_EQ(f.edits[static_cast<size_t>(i)].value, static_cast<float>(i)) << "edit order";
        // Each sender's values in the order it sent them.
        const std::vector<std::wstring> posted = api->posted();
        std::vector<std::wstring> mine, others, answers;
        for (const std::wstring &p : posted) {
            if (p.compare(0, 10, L"s 00000001") == 0)
                mine.push_back(p);
            else if (p.compare(0, 10, L"s 00000002") == 0)
                others.push_back(p);
            else if (p.compare(0, 10, L"s 00000003") == 0)
                answers.push_back(p);
        }
        ASSERT_EQ(mine.size(), static_cast<size_t>(kSets));
        ASSERT_EQ(others.size(), static_cast<size_t>(kSets));
        for (int i = 0; i < kSets; ++i) {
            ASSERT_EQ(mine[static_cast<size_t>(i)], value_message(1, static_cast<float>(i)));
            ASSERT_EQ(others[static_cast<size_t>(i)], value_message(2, static_cast<float>(1000 + i)));
        }
        EXPECT_EQ(answers.size(), static_cast<size_t>((kEdits + 6) / 7));
        gui_host_destroy(h);
        EXPECT_TRUE(browsers_gone(*api));
    }
    std::printf("cross-thread stress: %d rounds\n", rounds);
    EXPECT_GE(rounds, 3);
}

// Destroy while the GUI thread forwards edits or waits for the gate: the
// edit in flight is dropped or served, and the teardown always completes.
TEST_F(GuiHostTest, DestroyWhileEditsAreInFlight)
{
    const auto until = Clock::now() + std::chrono::seconds(60);
    int rounds = 0;
    for (; rounds < 60 && Clock::now() < until; ++rounds) {
        api->standin_reset();
        Frontend f(page_dir);
        GuiHost *h = create(f);
        ASSERT_NE(h, nullptr);
        std::atomic<bool> stop{false};
        std::thread page([&] {
            for (int i = 0; !stop && i < 200; ++i)
                if (page_posts(value_message(1, static_cast<float>(i))) != S_OK)
                    break;
        });
        pump_until([&] { return f.edits.size() >= static_cast<size_t>(rounds % 5); }, 2000);
        gui_host_set_value(h, 0, 1.0f); // the creator takes the gate meanwhile
        gui_host_destroy(h);
        stop = true;
        page.join();
        EXPECT_TRUE(browsers_gone(*api));
    }
    std::printf("destroy during edits: %d rounds\n", rounds);
    EXPECT_GE(rounds, 50);
}

// When a closed editor's user data folder goes: at the runtime's word that
// its browser processes have ended, without the host waiting for it; where
// that word never comes, at the next editor's start.
TEST_F(GuiHostTest, TheUserDataFolderGoesOnceTheBrowserProcessesHaveEnded)
{
    const std::wstring tmp = temp_dir();
    const std::set<std::wstring> before = entries(tmp, L"did");
    const struct {
        const char *what;
        unsigned absent;
        bool gone_after_close; // else left, and swept by the next start
    } cases[] = {
        {"BrowserProcessExited", 0, true},
        {"no Environment5", STANDIN_ABSENT_ENVIRONMENT5, false},
        {"no event (waits its bound)", STANDIN_ABSENT_EXIT_EVENT, false},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        api->standin_reset();
        api->standin_configure(STANDIN_FAIL_NONE, S_OK, k.absent);
        Frontend f(page_dir);
        GuiHost *h = create(f);
        ASSERT_NE(h, nullptr);
        const std::wstring folder = StandinApi::text_of(api->standin_user_data_folder);
        const std::wstring marker = folder + L"\\" + k_wv2_marker_name;
        // Ours, and in use: nobody else can take the marker.
        EXPECT_EQ(CreateFileW(marker.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE);
        gui_host_destroy(h);
        // The host did not wait for the browser processes: they still hold the folder.
        EXPECT_EQ(api->standin_browsers_running(), 1);
        EXPECT_TRUE(exists(folder + L"\\EBWebView\\lockfile"));
        ASSERT_TRUE(browsers_gone(*api, static_cast<int>(k_wv2_exit_wait_ms) + 5000));
        EXPECT_EQ(entries(tmp, L"did") == before, k.gone_after_close);
        if (k.gone_after_close)
            continue;
        EXPECT_TRUE(exists(marker));
        EXPECT_TRUE(exists(folder + L".tmp"));
        api->standin_reset();
        Frontend next(page_dir);
        GuiHost *n = create(next);
        ASSERT_NE(n, nullptr);
        EXPECT_FALSE(exists(folder)) << "swept at the next start";
        EXPECT_FALSE(exists(folder + L".tmp"));
        gui_host_destroy(n);
        EXPECT_TRUE(browsers_gone(*api));
        EXPECT_EQ(entries(tmp, L"did"), before);
    }
}

// Names of the same pattern that are not ours are never touched.
TEST_F(GuiHostTest, FoldersNotOursSurviveTheSweep)
{
    const std::wstring tmp = temp_dir();
    // Another program's: no marker, and with a temporary file; a marker's name with other text.
    const std::wstring plain = tmp + L"\\did9F9F", forged = tmp + L"\\did9F9E";
    const std::wstring files[] = {plain + L"\\data.bin", plain + L".tmp", forged + L"\\" + k_wv2_marker_name};
    ASSERT_TRUE(CreateDirectoryW(plain.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(forged.c_str(), nullptr));
    for (const std::wstring &file : files)
        std::ofstream(file.c_str(), std::ios::binary) << "another program's\r\n";
    const std::set<std::wstring> before = entries(tmp, L"did");
    Frontend f(page_dir);
    GuiHost *h = create(f); // sweeps at its start
    ASSERT_NE(h, nullptr);
    gui_host_destroy(h);
    EXPECT_TRUE(browsers_gone(*api));
    EXPECT_EQ(entries(tmp, L"did"), before);
    for (const std::wstring &file : files) {
        std::ifstream in(file.c_str(), std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "another program's\r\n");
        in.close();
        DeleteFileW(file.c_str());
    }
    RemoveDirectoryW(plain.c_str());
    RemoveDirectoryW(forged.c_str());
}
