// What the Linux editor costs a host, through the VST 3 view in a host of
// our own (X11 window, run loop on this thread), under Xvfb with WebKitGTK;
// run by ./dev bench. Figures, not checks:
// - open: from attached() until the page is ready, i.e. until the host's run
//   loop first finds news from the page on the editor's descriptor: the
//   page's "g" (its scripts ran and ask for the values) or the program's "r"
//   (loading finished), whichever comes first; attached() itself returns once
//   the program's window exists;
// - edit round trip: from a pointer motion injected with XTest (pressed on the
//   Cutoff knob, moved by one step) until the host's performEdit, through the
//   X server, WebKit's web process, the page, the program and the run loop.
#include "vst3_host/vst3_rig.h"

#include "editor_hosts_support.h"

#include <X11/extensions/XTest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>

namespace {

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

double ms_between(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

} // namespace

int main()
{
    Display *x = XOpenDisplay(nullptr);
    Vst3Rig rig;
    if (!x || !rig.load(ZFEN_VST3_BUNDLE)) {
        std::fprintf(stderr, "needs an X display and the VST 3 bundle: %s\n", rig.error().c_str());
        return 1;
    }
    RunLoop loop;
    LoopFrame frame{&loop};
    RecordingHandler handler;
    Clock::time_point edited;
    handler.on_edit = [&] { edited = Clock::now(); };
    IEditController *ctrl = rig.make_controller();
    ctrl->vtbl->setComponentHandler(ctrl, handler.ptr());
    IPlugView *view = ctrl->vtbl->createView(ctrl, "editor");
    view->vtbl->setFrame(view, &frame.iface);
    const Window parent = XCreateSimpleWindow(x, DefaultRootWindow(x), 0, 0, 800, 600, 0, 0, 0);
    XMapWindow(x, parent);
    XSync(x, False);

    std::vector<double> open_ms, loaded_ms, edit_ms;
    std::string firsts;
    for (int run = 0; run < 10; ++run) {
        const auto t0 = Clock::now();
        if (view->vtbl->attached(view, reinterpret_cast<void *>(parent), "X11EmbedWindowID") != kResultOk) {
            std::fprintf(stderr, "attached failed\n");
            return 1;
        }
        open_ms.push_back(ms_between(t0, Clock::now()));
        // The first news on the editor's descriptor, peeked at before the
        // view reads it: the page's "g" (asking for the values) or "r".
        const int fd = loop.handlers.empty() ? -1 : loop.handlers[0].second;
        char first = 0;
        for (pollfd p{fd, POLLIN, 0}; ms_between(t0, Clock::now()) < 10000 && !first;)
            if (poll(&p, 1, 10) > 0 && recv(fd, &first, 1, MSG_PEEK | MSG_DONTWAIT) != 1)
                first = '?';
        if (first != 'r' && first != 'p') {
            std::fprintf(stderr, "the page did not load\n");
            return 1;
        }
        firsts += first;
        loaded_ms.push_back(ms_between(t0, Clock::now()));
        if (run == 0) {
            // Edits on a warm page: press the knob, then one step at a time,
            // up and down, each move waiting for its performEdit.
            wait_drawn(x, k_knob_x, k_knob_y, 5000);
            loop.pump(500);
            XTestFakeMotionEvent(x, -1, k_knob_x, k_knob_y, 0);
            XTestFakeButtonEvent(x, 1, True, 0);
            XFlush(x);
            loop.pump(300);
            for (int i = 0; i < 30; ++i) {
                const size_t before = handler.calls.size();
                XTestFakeMotionEvent(x, -1, k_knob_x, k_knob_y + (i % 2 ? 0 : 10), 0);
                XFlush(x);
                const auto sent = Clock::now();
                loop.pump(2000, [&] { return handler.calls.size() > before; });
                if (handler.calls.size() > before)
                    edit_ms.push_back(ms_between(sent, edited));
                loop.pump(20);
            }
            XTestFakeButtonEvent(x, 1, False, 0);
            XFlush(x);
            loop.pump(300);
        }
        view->vtbl->removed(view);
    }
    std::printf("attached() until it returns (the program's window exists), median of %zu: %.0f ms\n", open_ms.size(),
                median(open_ms));
    std::printf("attached() until the page's first news at the run loop (%s: p \"g\", r \"r\"), median of %zu: "
                "%.0f ms\n",
                firsts.c_str(), loaded_ms.size(), median(loaded_ms));
    std::printf("edit round trip, XTest pointer motion to performEdit, median of %zu: %.1f ms (min %.1f, max %.1f)\n",
                edit_ms.size(), median(edit_ms),
                edit_ms.empty() ? 0.0 : *std::min_element(edit_ms.begin(), edit_ms.end()),
                edit_ms.empty() ? 0.0 : *std::max_element(edit_ms.begin(), edit_ms.end()));
    view->vtbl->release(view);
    rig.release_all();
    XCloseDisplay(x);
    return edit_ms.size() < 20 ? 1 : 0;
}
