// What the editor's cross-thread machinery costs, with the stand-in browser:
// creating a GUI host until it is ready, one page edit to the edit callback
// and back, and gui_host_set_value until the text is posted. Run under Wine
// by ./dev bench; figures, not checks.
#include "gui/gui_host.h"
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

double median_us(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Frontend {
    std::string loader, page;
    std::atomic<long> edits{0};
};

} // namespace

int main()
{
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
    DestroyWindow(parent);
    DeleteFileA((f.page + "\\index.html").c_str());
    RemoveDirectoryA(f.page.c_str());

    std::printf("%-44s %10s\n", "GUI host (stand-in browser, under Wine)", "median");
    std::printf("%-44s %8.0f us\n", "gui_host_create until ready", median_us(create_us));
    std::printf("%-44s %8.1f us\n", "page edit to the callback and back", median_us(edit_us));
    std::printf("%-44s %8.1f us\n", "gui_host_set_value until posted", median_us(set_us));
    return f.edits == 300 ? 0 : 1;
}
