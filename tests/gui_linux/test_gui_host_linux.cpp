// The Linux GUI host against a stand-in editor program: start-up failures
// that leave the plug-in host running with one log line and nothing behind,
// page edits on the calling thread, values to the page from any thread, an
// editor that dies, and an editor closed from inside an edit.
#include "gui/gui_host.h"
#include "zfen_product.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

int open_descriptors()
{
    int n = 0;
    for ([[maybe_unused]] const auto &e : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// No child of ours is left, ended or not.
bool no_children()
{
    errno = 0;
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// A front end that records what the host hears ("b0", "s0=8", "e0") and what it logs.
struct Frontend {
    std::string dir;
    std::vector<std::string> heard, log;
    std::function<void()> inside; // runs inside each host call
    GuiHostDesc desc{};

    explicit Frontend(std::string folder) : dir(std::move(folder))
    {
        desc.format_name = "test";
        desc.loader_dir = desc.page_dir = [](void *u) { return static_cast<Frontend *>(u)->dir.c_str(); };
        desc.edit = {this, [](void *, uint32_t) { return 0.0; },
                     [](void *u, const ParamEdit *e, bool on) {
                         static_cast<Frontend *>(u)->hear((on ? "b" : "e") + std::to_string(e->desc->index));
                     },
                     [](void *u, const ParamEdit *e) {
                         static_cast<Frontend *>(u)->hear("s" + std::to_string(e->desc->index) + "=" +
                                                          std::to_string(static_cast<int>(e->plain)));
                     },
                     nullptr};
        desc.log = [](void *u, const char *line) { static_cast<Frontend *>(u)->log.push_back(line); };
    }
    void hear(std::string call)
    {
        heard.push_back(std::move(call));
        if (inside)
            inside();
    }
};

class GuiHostLinux : public testing::Test {
protected:
    fs::path root = fs::temp_directory_path() / ("zfen-gui-linux-" + std::to_string(getpid()));
    int fds_before = 0;

    void SetUp() override
    {
        for (const char *mode : {"window", "edits", "exit", "hang", "crash", "missing"}) {
            fs::create_directories(root / mode);
            if (std::string(mode) != "missing")
                fs::create_symlink(ZFEN_STANDIN_EDITOR, root / mode / ZFEN_PLUGIN_ID "-editor");
        }
        fds_before = open_descriptors();
    }
    void TearDown() override
    {
        EXPECT_TRUE(no_children());
        EXPECT_EQ(open_descriptors(), fds_before);
        fs::remove_all(root);
    }
    GuiHost *open(Frontend &f) { return gui_host_create(false, nullptr, &f.desc, nullptr, 800, 600, 4); }
    // Idles until `done` or two seconds have passed.
    static bool idle_until(GuiHost *h, const std::function<bool()> &done)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!done() && std::chrono::steady_clock::now() < until) {
            if (!gui_host_idle(h))
                return done();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return done();
    }
};

} // namespace

TEST_F(GuiHostLinux, AProgramThatCannotStartGivesNoEditorAndOneLogLine)
{
    const struct {
        const char *mode, *line;
    } rows[] = {
        {"missing", "Z-FEN editor: the editor program could not be started: No such file or directory"},
        {"exit", "Z-FEN editor: the editor program ended at start-up (is libwebkit2gtk-4.1-0 installed?)"},
        {"hang", "Z-FEN editor: the editor program did not show its window in time"},
    };
    for (const auto &row : rows) {
        Frontend f((root / row.mode).string());
        EXPECT_EQ(open(f), nullptr) << row.mode;
        EXPECT_EQ(f.log, std::vector<std::string>{row.line});
        EXPECT_TRUE(no_children()) << row.mode;
    }
}

TEST_F(GuiHostLinux, PageEditsRunInIdleAndValuesReachThePageFromAnyThread)
{
    Frontend f((root / "edits").string());
    GuiHost *h = open(f);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(gui_host_window(h), reinterpret_cast<void *>(42));
    EXPECT_GE(gui_host_fd(h), 0);
    ASSERT_TRUE(idle_until(h, [&] { return f.heard.size() == 5; }));
    EXPECT_EQ(f.heard, (std::vector<std::string>{"b0", "s0=8", "s0=7", "s0=7", "e0"}));
    // The stand-in sends each value back as a page edit.
    f.heard.clear();
    std::thread other([&] { gui_host_set_value(h, 2, 3.0f); });
    other.join();
    gui_host_set_value(h, 1, 9.0f);
    gui_host_set_value(h, 4, 1.0f); // no such index: nothing
    ASSERT_TRUE(idle_until(h, [&] { return f.heard.size() == 2; }));
    EXPECT_EQ(f.heard, (std::vector<std::string>{"s2=3", "s1=9"}));
    gui_host_destroy(h);
}

TEST_F(GuiHostLinux, AnEditorThatDiesClosesAndLeavesNoZombie)
{
    Frontend f((root / "crash").string());
    GuiHost *h = open(f);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(idle_until(h, [&] { return gui_host_window(h) == nullptr; }));
    EXPECT_FALSE(gui_host_idle(h));
    EXPECT_EQ(f.log, std::vector<std::string>{"Z-FEN editor: the editor program ended unexpectedly"});
    gui_host_set_value(h, 0, 1.0f); // nobody to tell: harmless
    gui_host_destroy(h);
}

TEST_F(GuiHostLinux, ClosingFromInsideAnEditEndsItOnceTheCallReturns)
{
    for (size_t at = 1; at <= 3; ++at) {
        Frontend f((root / "edits").string());
        GuiHost *h = open(f);
        ASSERT_NE(h, nullptr);
        f.inside = [&] {
            if (f.heard.size() == at)
                gui_host_destroy(h);
        };
        // The host is gone after the idle that ran the edit: no more idles.
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (f.heard.size() < at && std::chrono::steady_clock::now() < until)
            gui_host_idle(h);
        EXPECT_EQ(f.heard.size(), at) << "nothing reached the front end after it closed the editor";
    }
}

TEST_F(GuiHostLinux, AHundredOpenCloseCyclesLeaveNothingBehind)
{
    for (int i = 0; i < 100; ++i) {
        Frontend f((root / "window").string());
        GuiHost *h = open(f);
        ASSERT_NE(h, nullptr) << i;
        gui_host_destroy(h);
    }
}
