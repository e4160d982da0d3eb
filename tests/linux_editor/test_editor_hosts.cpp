// The Linux editor in real hosts, under Xvfb with WebKitGTK and real pointer
// input from xdotool: jalv (on JACK's dummy back end) with the LV2 UI, and a
// VST 3 host of our own that gives the view an X11 window and a run loop.
#include "core/parameters.h"
#include "support/shell_run.h"
#include "vst3_host/vst3_rig.h"
#include "zfen_product.h"

#include <gtest/gtest.h>
// After gtest, whose names Xlib's macros would replace.
#include "editor_hosts_support.h"

#include <X11/Xutil.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

const std::string k_tmp = ::testing::TempDir();
const ParamID k_cutoff = k_params[PARAM_CUTOFF].vst3_id;

std::string slurp(const std::string &path) { return (std::stringstream() << std::ifstream(path).rdbuf()).str(); }
std::string tail(const std::string &path)
{
    const std::string s = slurp(path);
    return s.substr(s.size() > 600 ? s.size() - 600 : 0);
}

// The editor program's viewable window (its class is the program's name), or 0.
Window find_editor(Display *x, Window w)
{
    XWindowAttributes a{};
    XClassHint hint{};
    if (XGetWindowAttributes(x, w, &a) && a.map_state == IsViewable && XGetClassHint(x, w, &hint)) {
        const bool ours = std::string(hint.res_name) == ZFEN_EDITOR_NAME;
        XFree(hint.res_name);
        XFree(hint.res_class);
        if (ours)
            return w;
    }
    Window root, up, *kids = nullptr, found = 0;
    unsigned n = 0;
    if (XQueryTree(x, w, &root, &up, &kids, &n))
        for (unsigned i = 0; i < n && !found; ++i)
            found = find_editor(x, kids[i]);
    if (kids)
        XFree(kids);
    return found;
}

// The Cutoff knob's centre on the screen, once the page has drawn it; false
// if no editor has shown its page within `ms`.
bool knob_on_screen(Display *x, int ms, int *kx, int *ky)
{
    const auto t0 = Clock::now();
    Window editor = 0, child;
    while (!(editor = find_editor(x, DefaultRootWindow(x))) && ms_since(t0) < ms)
        sleep_ms(50);
    return editor && XTranslateCoordinates(x, editor, DefaultRootWindow(x), k_knob_x, k_knob_y, kx, ky, &child) &&
           wait_drawn(x, *kx, *ky, int(ms - ms_since(t0)));
}

class EditorHosts : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        mark_environment(); // finds what the hosts' editors leave behind
        x = XOpenDisplay(nullptr);
    }
    void SetUp() override { ASSERT_NE(x, nullptr) << "run under xvfb-run"; }
    // Nothing we started is left: no child (zombies included), no process
    // that carries our mark (the editor program's WebKit helpers neither).
    static void expect_nothing_left()
    {
        int left = 0;
        for (auto t0 = Clock::now(); ms_since(t0) < 5000 && (left = marked_processes()) > 0;)
            sleep_ms(50);
        EXPECT_EQ(left, 0);
        for (const Child &c : children())
            ADD_FAILURE() << "child left: " << c.pid << " " << c.comm << " " << c.state;
    }
    static inline Display *x = nullptr;
};

// jalv.gtk3 on a JACK server of the test's own (dummy back end) shows the
// page in its window; a drag of the Cutoff knob from 15 down to 5 reaches
// the plug-in, whose Modulated Cutoff output goes from 248 to 88. Where
// WebKitGTK is missing (a copy of the bundle whose program fails as the
// system's loader would fail it), jalv shows its generic controls after one
// line of ours in its log.
TEST_F(EditorHosts, JalvShowsThePageAndADragReachesThePlugin)
{
    const std::string server = "zfen-test-" + std::to_string(getpid()), log = k_tmp + "zfen-jalv.txt";
    const std::string bare = k_tmp + "zfen-no-webkit";
    ASSERT_EQ(shell_run("rm -rf " + bare + " && mkdir -p " + bare + " && cp -R " ZFEN_LV2_PATH "/. " + bare).second, 0);
    std::ofstream(bare + "/" ZFEN_PLUGIN_ID ".lv2/" ZFEN_EDITOR_NAME)
        << "#!/bin/sh\necho '" ZFEN_EDITOR_NAME ": error while loading shared libraries: libwebkit2gtk-4.1.so.0' >&2\n"
           "exit 127\n"; // keeps the program's file mode
    setenv("JACK_DEFAULT_SERVER", server.c_str(), 1);
    setenv("JACK_NO_START_SERVER", "1", 1);
    setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
    const pid_t jackd = spawn_logged({"jackd", "-n", server, "-r", "-d", "dummy", "-r", "48000", "-p", "256"},
                                     k_tmp + "zfen-jackd.txt");
    ASSERT_EQ(shell_run("jack_wait -w -t 10").second, 0) << slurp(k_tmp + "zfen-jackd.txt");
    const auto output_is = [&](const char *line, int ms) { // the last Modulated Cutoff jalv printed
        for (auto t0 = Clock::now(); ms_since(t0) < ms; sleep_ms(50)) {
            const std::string text = slurp(log);
            const size_t last = text.rfind("mod_cutoff = ");
            if (last != std::string::npos && text.compare(last, std::strlen(line), line) == 0)
                return true;
        }
        return false;
    };
    for (const bool webkit : {false, true}) {
        SCOPED_TRACE(webkit ? "with WebKitGTK" : "without");
        setenv("LV2_PATH", webkit ? ZFEN_LV2_PATH : bare.c_str(), 1);
        // Its output line by line: it goes to a file.
        const pid_t jalv = spawn_logged({"stdbuf", "-oL", "jalv.gtk3", "--print-controls", ZFEN_LV2_URI}, log);
        int kx = 0, ky = 0;
        if (!webkit) {
            EXPECT_TRUE(output_is("mod_cutoff = 248.0", 20000)) << tail(log);
            const std::string text = slurp(log);
            EXPECT_NE(text.find("\nerror: Z-FEN editor: the editor program ended at start-up (is "
                                "libwebkit2gtk-4.1-0 installed?)\n"),
                      std::string::npos)
                << tail(log);
            EXPECT_EQ(text.find("Z-FEN editor:"), text.rfind("Z-FEN editor:")) << "one line";
            EXPECT_EQ(find_editor(x, DefaultRootWindow(x)), 0u);
        } else if (knob_on_screen(x, 20000, &kx, &ky)) {
            EXPECT_TRUE(output_is("mod_cutoff = 248.0", 5000)) << tail(log);
            sleep_ms(300);
            EXPECT_EQ(shell_run(drag_command(kx, ky, 100)).second, 0);
            EXPECT_TRUE(output_is("mod_cutoff = 88.0", 5000)) << tail(log);
            // The README's picture: jalv's window, top-level at the screen's corner.
            Window top = find_editor(x, DefaultRootWindow(x)), root = 0, up = 0, *kids = nullptr;
            unsigned n = 0;
            for (; XQueryTree(x, top, &root, &up, &kids, &n) && up != root; top = up)
                if (kids)
                    XFree(kids), kids = nullptr;
            if (kids)
                XFree(kids);
            XWindowAttributes a{};
            XGetWindowAttributes(x, top, &a);
            shell_run("import -window root -crop " + std::to_string(a.width) + "x" + std::to_string(a.height) + "+" +
                      std::to_string(a.x) + "+" + std::to_string(a.y) + " " ZFEN_SHOT_DIR "/editor-jalv.png");
        } else {
            ADD_FAILURE() << "no page in jalv's window\n" << tail(log);
        }
        stop(jalv, 5000);
    }
    stop(jackd, 5000);
    expect_nothing_left();
}

// Our own VST 3 host: an X11 window for the view, a frame that offers a run
// loop on the test's thread, a component handler that records every edit.
class Vst3InX11 : public EditorHosts {
protected:
    void SetUp() override
    {
        EditorHosts::SetUp();
        ASSERT_TRUE(rig.load(ZFEN_VST3_BUNDLE)) << rig.error();
        ctrl = rig.make_controller();
        ASSERT_NE(ctrl, nullptr);
        ASSERT_EQ(ctrl->vtbl->setComponentHandler(ctrl, handler.ptr()), kResultOk);
        view = ctrl->vtbl->createView(ctrl, "editor");
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(view->vtbl->isPlatformTypeSupported(view, "X11EmbedWindowID"), kResultTrue);
        EXPECT_EQ(view->vtbl->isPlatformTypeSupported(view, "HWND"), kResultFalse);
        ASSERT_EQ(view->vtbl->setFrame(view, &frame.iface), kResultOk);
        parent = XCreateSimpleWindow(x, DefaultRootWindow(x), 40, 30, 800, 600, 0, 0, 0);
        XMapWindow(x, parent);
        XSync(x, False);
    }
    void TearDown() override
    {
        if (view) {
            view->vtbl->removed(view);
            view->vtbl->release(view);
        }
        rig.release_all();
        if (parent)
            XDestroyWindow(x, parent);
        XSync(x, False);
    }
    tresult attach() { return view->vtbl->attached(view, reinterpret_cast<void *>(parent), "X11EmbedWindowID"); }
    // A drag by `dy` pixels on the knob, and the run loop until its end edit
    // has arrived; the edits it made.
    std::vector<EditCall> drag(int dy)
    {
        int kx = 0, ky = 0;
        Window child;
        XTranslateCoordinates(x, parent, DefaultRootWindow(x), k_knob_x, k_knob_y, &kx, &ky, &child);
        const size_t from = handler.calls.size();
        EXPECT_EQ(shell_run(drag_command(kx, ky, dy)).second, 0);
        loop.pump(5000, [&] { return handler.calls.size() > from && handler.calls.back().kind == 'e'; });
        return {handler.calls.begin() + long(from), handler.calls.end()};
    }

    Vst3Rig rig;
    RecordingHandler handler;
    RunLoop loop;
    LoopFrame frame{&loop};
    IEditController *ctrl = nullptr;
    IPlugView *view = nullptr;
    Window parent = 0;
};

// The program is killed under an open view: the host goes on, the view
// leaves the run loop after one log line and leaves no zombie; a new editor
// opens, a real drag arrives as begin, performs and end, and a value the
// host sets shows on the page: the next drag starts from it.
TEST_F(Vst3InX11, ADragReachesTheHostAndAKilledEditorLeavesItWorking)
{
    ASSERT_EQ(attach(), kResultOk);
    ASSERT_EQ(loop.handlers.size(), 1u);
    const auto editors = [] {
        std::vector<Child> kids = children();
        std::erase_if(kids, [](const Child &c) { return std::string(ZFEN_EDITOR_NAME).rfind(c.comm, 0) != 0; });
        return kids;
    };
    ASSERT_EQ(editors().size(), 1u);
    const std::string err = k_tmp + "zfen-vst3-log.txt";
    const int saved = dup(2);
    const int log = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(log, 2);
    close(log);
    kill(editors()[0].pid, SIGKILL);
    loop.pump(5000, [&] { return loop.handlers.empty(); });
    const long calls = loop.calls;
    loop.pump(200); // nothing calls the view any more
    dup2(saved, 2);
    close(saved);
    EXPECT_TRUE(loop.handlers.empty());
    EXPECT_EQ(loop.calls, calls);
    EXPECT_EQ(slurp(err), "Z-FEN editor: the editor program ended unexpectedly\n");
    EXPECT_TRUE(editors().empty()) << "reaped";
    EXPECT_EQ(view->vtbl->removed(view), kResultOk);

    ASSERT_EQ(attach(), kResultOk);
    ASSERT_EQ(loop.handlers.size(), 1u);
    int kx = 0, ky = 0;
    ASSERT_TRUE(knob_on_screen(x, 10000, &kx, &ky));
    loop.pump(300);
    const struct {
        double host; // set by the host before the drag; < 0: none
        int dy;
        double last; // the drag's last value, plain
    } rows[] = {{-1, 50, 10}, {3, -20, 5}, {12, 200, 0}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.last);
        if (row.host >= 0) {
            ASSERT_EQ(ctrl->vtbl->setParamNormalized(ctrl, k_cutoff, row.host / 15), kResultOk);
            loop.pump(200);
        }
        const std::vector<EditCall> edits = drag(row.dy);
        ASSERT_GE(edits.size(), 3u);
        EXPECT_EQ(edits.front().kind, 'b');
        EXPECT_EQ(edits.back().kind, 'e');
        for (size_t i = 1; i + 1 < edits.size(); ++i)
            EXPECT_EQ(edits[i].kind, 'p');
        for (const EditCall &e : edits)
            EXPECT_EQ(e.id, k_cutoff);
        EXPECT_DOUBLE_EQ(edits[edits.size() - 2].value, row.last / 15);
        EXPECT_DOUBLE_EQ(ctrl->vtbl->getParamNormalized(ctrl, k_cutoff), row.last / 15);
    }
}

// Opening and closing the editor a hundred times leaves no process, zombie
// or descriptor behind, and the run loop without a handler.
TEST_F(Vst3InX11, AHundredOpensLeaveNothingBehind)
{
    const int fds = fd_count();
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(attach(), kResultOk) << "cycle " << i;
        ASSERT_EQ(loop.handlers.size(), 1u);
        if (i % 10 == 0)
            loop.pump(100);
        ASSERT_EQ(view->vtbl->removed(view), kResultOk);
        ASSERT_TRUE(loop.handlers.empty());
    }
    expect_nothing_left();
    EXPECT_EQ(fd_count(), fds);
}

} // namespace
