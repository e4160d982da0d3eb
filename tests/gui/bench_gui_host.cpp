// What the editor's cross-thread machinery costs, with the stand-in browser:
// creating a GUI host until it is ready, one page edit to the edit callback
// and back, and gui_host_set_value until the text is posted; when a closed
// editor's user data folder goes, and what the sweep of 50 folders earlier
// editors left adds to an editor's start. Run under Wine by ./dev bench;
// figures, not checks.
#include "gui/gui_host.h"
#include "gui/win32/gui_host_win32.h"
#include "gui_test_support.h"
#include "vst3_host/host_module.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Frontend {
    std::string loader, page;
    std::atomic<long> edits{0};
};

double ms_since(Clock::time_point t0) { return std::chrono::duration<double, std::milli>(Clock::now() - t0).count(); }

// User data folders in the temporary folder: "did" and hexadecimal digits.
int user_data_folders()
{
    wchar_t pattern[MAX_PATH];
    GetTempPathW(MAX_PATH, pattern);
    wcscat(pattern, L"did*");
    WIN32_FIND_DATAW fd;
    HANDLE f = FindFirstFileW(pattern, &fd);
    int n = 0;
    if (f == INVALID_HANDLE_VALUE)
        return 0;
    do
        n += (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
    while (FindNextFileW(f, &fd));
    FindClose(f);
    return n;
}

} // namespace

int main()
{
    // A temporary folder of its own: only its own editors' folders count.
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    const std::wstring own_temp = std::wstring(base) + L"zfen-bench-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(own_temp.c_str(), nullptr);
    SetEnvironmentVariableW(L"TMP", own_temp.c_str());
    SetEnvironmentVariableW(L"TEMP", own_temp.c_str());
    Frontend f;
    f.loader = host_path(ZFEN_STANDIN_LOADER_DIR);
    char tmp[MAX_PATH];
    GetTempPathA(MAX_PATH, tmp);
    f.page = std::string(tmp) + "zfen-bench-page";
    CreateDirectoryA(f.page.c_str(), nullptr);
    std::ofstream(f.page + "\\index.html") << "<!doctype html><title>bench</title>";
    HMODULE module = LoadLibraryA((f.loader + "\\WebView2Loader.dll").c_str());
    StandinApi api(module);
    if (!api.ok) {
        std::fprintf(stderr, "no stand-in loader at %s\n", f.loader.c_str());
        return 1;
    }
    HWND parent = make_host_window(900, 700, false);
    GuiHostDesc desc{};
    desc.format_name = "bench";
    desc.loader_dir = [](void *u) { return static_cast<Frontend *>(u)->loader.c_str(); };
    desc.page_dir = [](void *u) { return static_cast<Frontend *>(u)->page.c_str(); };
    desc.edit.user = &f;
    desc.edit.current = [](void *, uint32_t) { return 0.0; };
    desc.edit.touch = [](void *, const ParamEdit *, bool) {};
    desc.edit.set = [](void *u, const ParamEdit *) { ++static_cast<Frontend *>(u)->edits; };

    std::vector<double> create_us;
    for (int i = 0; i < 30; ++i) {
        api.standin_reset();
        const auto t0 = Clock::now();
        GuiHost *h = gui_host_create(true, parent, &desc, nullptr, k_editor_width, k_editor_height, 4);
        create_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        gui_host_destroy(h);
    }

    GuiHost *h = gui_host_create(true, parent, &desc, nullptr, k_editor_width, k_editor_height, 4);
    std::vector<double> set_us;
    for (int i = 0; i < 500; ++i) {
        const auto t0 = Clock::now();
        gui_host_set_value(h, 3, static_cast<float>(i & 255));
        set_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }

    // The page's edit: delivered on the GUI thread, forwarded to this thread,
    // answered. Timed from the delivery to its return.
    std::vector<double> edit_us;
    std::atomic<bool> done{false};
    std::thread page([&] {
        for (int i = 0; i < 300; ++i) {
            const auto t0 = Clock::now();
            api.standin_page_posts_string(L"s 0 40000000");
            edit_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
        }
        done = true;
    });
    while (!done) {
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&m);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    }
    page.join();
    gui_host_destroy(h);

    // A closed editor's folder goes once the stand-in's browser processes,
    // STANDIN_EXIT_DELAY_MS after Close, report their exit.
    std::vector<double> destroy_ms, gone_ms;
    for (int i = 0; i < 10; ++i) {
        api.standin_reset();
        GuiHost *e = gui_host_create(true, parent, &desc, nullptr, k_editor_width, k_editor_height, 4);
        const std::wstring folder = StandinApi::text_of(api.standin_user_data_folder);
        const auto t0 = Clock::now();
        gui_host_destroy(e);
        destroy_ms.push_back(ms_since(t0));
        pump_until([&] { return GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES; });
        gone_ms.push_back(ms_since(t0));
    }

    // 50 folders left by editors whose runtime never said when its browser
    // processes had gone: what one sweep removes; a start with them and one
    // without, three times.
    const auto leave_50 = [&] {
        api.standin_configure(STANDIN_FAIL_NONE, S_OK, STANDIN_ABSENT_ENVIRONMENT5);
        std::vector<GuiHost *> open;
        for (int i = 0; i < 50; ++i)
            open.push_back(gui_host_create(true, parent, &desc, nullptr, k_editor_width, k_editor_height, 4));
        for (GuiHost *e : open)
            gui_host_destroy(e);
        browsers_gone(api);
        api.standin_reset();
        return user_data_folders();
    };
    const auto start_ms = [&] {
        const auto t0 = Clock::now();
        GuiHost *e = gui_host_create(true, parent, &desc, nullptr, k_editor_width, k_editor_height, 4);
        const double ms = ms_since(t0);
        gui_host_destroy(e);
        browsers_gone(api);
        while (wv2_user_data_sweep() > 0) {
        }
        return ms;
    };
    const int leftovers = leave_50();
    const auto t_sweep = Clock::now();
    const int swept = wv2_user_data_sweep();
    const double sweep_ms = ms_since(t_sweep);
    std::vector<double> with_ms, without_ms;
    for (int i = 0; i < 3; ++i) {
        leave_50();
        with_ms.push_back(start_ms());
        without_ms.push_back(start_ms());
    }
    DestroyWindow(parent);
    DeleteFileA((f.page + "\\index.html").c_str());
    RemoveDirectoryA(f.page.c_str());

    std::printf("%-44s %10s\n", "GUI host (stand-in browser, under Wine)", "median");
    std::printf("%-44s %8.0f us\n", "gui_host_create until ready", median(create_us));
    std::printf("%-44s %8.1f us\n", "page edit to the callback and back", median(edit_us));
    std::printf("%-44s %8.1f us\n", "gui_host_set_value until posted", median(set_us));
    std::printf("%-44s %8.1f ms\n", "gui_host_destroy (browser still running)", median(destroy_ms));
    std::printf("%-44s %8.1f ms (the stand-in's exit: %d ms after Close)\n",
                "destroy until the user data folder is gone", median(gone_ms), STANDIN_EXIT_DELAY_MS);
    std::printf("%-44s %8.1f ms (%d of %d folders)\n", "one sweep, 50 folders left behind", sweep_ms, swept, leftovers);
    std::printf("%-44s %8.1f ms (none left: %.1f ms)\n", "gui_host_create, 50 folders left behind", median(with_ms),
                median(without_ms));
    RemoveDirectoryW(own_temp.c_str());
    return f.edits == 300 ? 0 : 1;
}
