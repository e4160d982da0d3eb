// The Linux editor program as the plug-in runs it: a socket pair on
// descriptor 3, a real X server (xvfb-run), WebKitGTK, and real pointer input
// from xdotool. xdg-open is a stand-in early on PATH that records its calls.
#include "support/shell_run.h"

#include <gtest/gtest.h>
// After gtest, whose names Xlib's macros (None) would replace.
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
const std::string k_opened = ::testing::TempDir() + "zfen-editor-opened.txt";

long ms_since(Clock::time_point t)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

struct Spawned {
    pid_t pid = -1;
    int fd = -1;
    Clock::time_point started = Clock::now();
};

Spawned start(std::vector<std::string> args, bool with_socket = true, const std::string &err = "/dev/null")
{
    Spawned r;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0)
        return r;
    const int high = fcntl(sv[1], F_DUPFD_CLOEXEC, 10); // dup2 onto itself would keep close-on-exec
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (with_socket)
        posix_spawn_file_actions_adddup2(&fa, high, 3);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    args.insert(args.begin(), ZFEN_EDITOR_PROGRAM);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    r.started = Clock::now();
    posix_spawn(&r.pid, ZFEN_EDITOR_PROGRAM, &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(high);
    close(sv[1]);
    r.fd = sv[0];
    return r;
}

// The next message within `ms`: "" on a timeout, "EOF" at end of file.
std::string next(Spawned &r, int ms)
{
    pollfd p{r.fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0)
        return "";
    char buf[70000];
    const ssize_t n = recv(r.fd, buf, sizeof buf, 0);
    return n <= 0 ? "EOF" : std::string(buf, static_cast<size_t>(n));
}

// Messages up to and including the first that starts with `prefix`.
std::vector<std::string> until(Spawned &r, const std::string &prefix, int ms = 10000)
{
    std::vector<std::string> got;
    const auto t0 = Clock::now();
    for (std::string m; ms_since(t0) < ms && m != "EOF";) {
        m = next(r, 50);
        if (!m.empty())
            got.push_back(m);
        if (m.rfind(prefix, 0) == 0 && !m.empty())
            break;
    }
    return got;
}

void send(Spawned &r, const std::string &m) { ::send(r.fd, m.data(), m.size(), MSG_NOSIGNAL); }

// The exit status once the program has ended within `ms` (our end of the
// socket closed first when asked); -1 if it had to be killed.
int finish(Spawned &r, int ms, bool close_socket = true)
{
    if (close_socket)
        close(r.fd);
    const auto t0 = Clock::now();
    int status = 0;
    while (waitpid(r.pid, &status, WNOHANG) == 0) {
        if (ms_since(t0) > ms) {
            kill(r.pid, SIGKILL);
            waitpid(r.pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string value_bits(float v)
{
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", bits);
    return buf;
}

Window x_parent_of(Display *x, Window w)
{
    Window root = 0, parent = 0, *children = nullptr;
    unsigned n = 0;
    if (XQueryTree(x, w, &root, &parent, &children, &n) && children)
        XFree(children);
    return parent;
}

class EditorProgram : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The stand-in opener: its argument count and arguments, and whether
        // our socket leaked into it.
        const std::string bin = ::testing::TempDir() + "zfen-editor-bin";
        shell_run("mkdir -p " + bin);
        std::ofstream(bin + "/xdg-open") << "#!/bin/sh\n[ -e /proc/$$/fd/3 ] && set -- leaked \"$@\"\n"
                                            "printf '%s %s\\n' \"$#\" \"$*\" >>\"$ZFEN_TEST_OPENED\"\n";
        shell_run("chmod +x " + bin + "/xdg-open");
        setenv("PATH", (bin + ":" + getenv("PATH")).c_str(), 1);
        setenv("ZFEN_TEST_OPENED", k_opened.c_str(), 1);
    }
    static void TearDownTestSuite()
    {
        if (x)
            XCloseDisplay(x);
    }
    void SetUp() override { ASSERT_NE(x ? x : (x = XOpenDisplay(nullptr)), nullptr) << "run under xvfb-run"; }
    static inline Display *x = nullptr; // one connection throughout: the server never resets under us
};

TEST_F(EditorProgram, IsStagedBesideBothPluginBinaries)
{
    for (const char *program : {ZFEN_EDITOR_PROGRAM, ZFEN_VST3_EDITOR})
        EXPECT_EQ(access(program, X_OK), 0) << program;
    EXPECT_EQ(slurp(ZFEN_EDITOR_PROGRAM), slurp(ZFEN_VST3_EDITOR));
    for (const char *page : {"index.html", "editor.css", "editor.js", "zfen-params.js"})
        EXPECT_EQ(slurp(ZFEN_LV2_BUNDLE "/" + std::string(page)), slurp(ZFEN_VST3_RESOURCES "/" + std::string(page)))
            << page;
}

TEST_F(EditorProgram, RefusesToStartWithOneLine)
{
    const std::string page = ZFEN_LV2_BUNDLE "/index.html", err = ::testing::TempDir() + "zfen-editor-err.txt";
    struct Row {
        std::vector<std::string> args;
        bool socket;
        bool display;
        int code;
        const char *says;
    } rows[] = {
        {{page, "0", "800", "600"}, true, true, 2, "usage"},
        {{page, "-1", "800", "600", "1"}, true, true, 2, "usage"},
        {{page, "0", "0", "600", "1"}, true, true, 2, "usage"},
        {{page, "0", "800", "99999", "1"}, true, true, 2, "usage"},
        {{page, "0", "800", "600", "1,5"}, true, true, 2, "usage"},
        {{page, "0", "800", "600", "nan"}, true, true, 2, "usage"},
        {{"", "0", "800", "600", "1"}, true, true, 2, "usage"},
        {{page, "0", "800", "600", "1"}, false, true, 1, "descriptor 3"},
        {{page + ".gone", "0", "800", "600", "1"}, true, true, 1, "page is missing"},
        {{page, "0", "800", "600", "1"}, true, false, 1, "X display"},
        {{page, "4194303", "800", "600", "1"}, true, true, 1, "window 4194303 does not exist"},
    };
    const std::string display = getenv("DISPLAY") ? getenv("DISPLAY") : "";
    for (const Row &row : rows) {
        SCOPED_TRACE(row.says);
        if (!row.display)
            unsetenv("DISPLAY");
        Spawned r = start(row.args, row.socket, err);
        setenv("DISPLAY", display.c_str(), 1);
        EXPECT_EQ(finish(r, 10000, false), row.code);
        const std::string text = slurp(err);
        EXPECT_EQ(text.rfind("vornic-zfen-editor: ", 0), 0u) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
        EXPECT_NE(text.find(row.says), std::string::npos) << text;
        close(r.fd);
    }
}

// The editor page, top-level or in a host's window: a value posted before
// the page has loaded is the start of a real drag of the Cutoff knob, which
// arrives as begin, performs and end; then the editor goes as a host ends it.
TEST_F(EditorProgram, ShowsThePageAndCarriesADrag)
{
    enum Ending { close_socket, destroy_parent, user_closes };
    struct Row {
        const char *name;
        bool embedded;
        int width, height;
        const char *scale, *resize; // resize: a "z" message, then the size below
        int final_width, final_height;
        double zoom;
        int drag_px;
        Ending ending;
    } rows[] = {
        {"top-level", false, 800, 600, "1", nullptr, 800, 600, 1.0, 50, close_socket},
        {"embedded at scale 1.5", true, 1200, 900, "1.5", nullptr, 1200, 900, 1.5, 48, destroy_parent},
        {"embedded, resized", true, 800, 600, "1", "z 1000 750 1.25", 1000, 750, 1.25, 50, close_socket},
        {"closed by the user", false, 800, 600, "1", nullptr, 800, 600, 1.0, 30, user_closes},
    };
    const float start_value = 3;
    const std::string err = ::testing::TempDir() + "zfen-editor-err.txt";
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Window parent = 0;
        if (row.embedded) {
            parent = XCreateSimpleWindow(x, DefaultRootWindow(x), 100, 50, 1400, 1000, 0, 0, 0);
            XMapWindow(x, parent);
            XSync(x, False);
        }
        Spawned r = start({ZFEN_LV2_BUNDLE "/index.html", std::to_string(parent), std::to_string(row.width),
                           std::to_string(row.height), row.scale},
                          true, err);
        send(r, "ps 00000000 " + value_bits(start_value)); // before the page has loaded
        const std::vector<std::string> w = until(r, "w ");
        ASSERT_FALSE(w.empty());
        ASSERT_EQ(w.back().rfind("w ", 0), 0u) << w.back();
        const long to_w = ms_since(r.started);
        const Window editor = std::stoul(w.back().substr(2));
        EXPECT_EQ(x_parent_of(x, editor), row.embedded ? parent : DefaultRootWindow(x));
        std::vector<std::string> got = until(r, "r");
        const long to_r = ms_since(r.started);
        ASSERT_EQ(got.back(), "r");
        std::printf("[ %s ] spawn to w: %ld ms, to r: %ld ms\n", row.name, to_w, to_r);
        if (std::find(got.begin(), got.end(), "pg") == got.end())
            got = until(r, "p", 3000); // the page's "g" may come just before "r" or after
        EXPECT_EQ(*std::find_if(got.begin(), got.end(), [](const std::string &m) { return m[0] == 'p'; }), "pg");
        if (row.resize)
            send(r, row.resize);
        XWindowAttributes a{};
        for (auto t0 = Clock::now(); ms_since(t0) < 3000; std::this_thread::sleep_for(std::chrono::milliseconds(20)))
            if (XGetWindowAttributes(x, editor, &a) && a.width == row.final_width && a.height == row.final_height)
                break;
        EXPECT_EQ(a.width, row.final_width);
        EXPECT_EQ(a.height, row.final_height);

        // The Cutoff knob's centre, at (141, 194) of the page's 800 x 600.
        int kx = 0, ky = 0;
        Window child;
        XTranslateCoordinates(x, editor, DefaultRootWindow(x), static_cast<int>(std::lround(141 * row.zoom)),
                              static_cast<int>(std::lround(194 * row.zoom)), &kx, &ky, &child);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        char drag[256];
        std::snprintf(drag, sizeof drag,
                      "xdotool mousemove %d %d sleep 0.2 mousedown 1 sleep 0.1 mousemove %d %d sleep 0.1 "
                      "mousemove %d %d sleep 0.1 mouseup 1",
                      kx, ky, kx, ky - row.drag_px / 2, kx, ky - row.drag_px);
        EXPECT_EQ(shell_run(drag).second, 0);
        const std::vector<std::string> edits = until(r, "pe ", 5000);
        const float final_value = std::round(start_value + static_cast<float>(row.drag_px / (10 * row.zoom)));
        ASSERT_GE(edits.size(), 3u);
        EXPECT_EQ(edits.front(), "pb 0 " + value_bits(start_value));
        for (size_t i = 1; i + 1 < edits.size(); ++i)
            EXPECT_EQ(edits[i].rfind("ps 0 ", 0), 0u) << edits[i];
        EXPECT_EQ(edits[edits.size() - 2], "ps 0 " + value_bits(final_value));
        EXPECT_EQ(edits.back(), "pe 0 " + value_bits(final_value));

        const auto t0 = Clock::now();
        if (row.ending == destroy_parent) {
            XDestroyWindow(x, parent);
            XSync(x, False);
        } else if (row.ending == user_closes) {
            XEvent ev{};
            ev.xclient.type = ClientMessage;
            ev.xclient.window = editor;
            ev.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
            ev.xclient.format = 32;
            ev.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
            XSendEvent(x, editor, False, NoEventMask, &ev);
            XSync(x, False);
            EXPECT_EQ(until(r, "c", 2000).back(), "c");
        }
        EXPECT_EQ(finish(r, 1000, row.ending == close_socket), 0);
        std::printf("[ %s ] ended after %ld ms\n", row.name, ms_since(t0));
        EXPECT_EQ(slurp(err), "") << "a quiet program";
        if (row.ending != close_socket)
            close(r.fd);
        if (row.embedded && row.ending != destroy_parent)
            XDestroyWindow(x, parent);
    }
}

// A probe page tries to leave: only its own page loads; web and mail
// addresses go to the opener (one argument each), and the page stays.
TEST_F(EditorProgram, KeepsToItsPageAndOpensWebAddressesOutside)
{
    const std::string dir = ZFEN_PROBE_DIR, other = "file://" + dir + "/other.html";
    struct Row {
        std::string go;
        std::string opened; // "" when refused
        bool reloads;
    } rows[] = {
        {"link http://example.com/a?b=1", "1 http://example.com/a?b=1", false},
        {"blank https://example.com/new", "1 https://example.com/new", false},
        {"open https://example.com/open", "1 https://example.com/open", false},
        {"assign mailto:someone@example.com", "1 mailto:someone@example.com", false},
        {"link mailto:a\"b@example.com", "", false},
        {"link ftp://example.com/f", "", false},
        {"link javascript:window.chrome.webview.postMessage('escaped')", "", false},
        {"open javascript:window.chrome.webview.postMessage('escaped')", "", false},
        {"link data:text/html,<script>window.chrome.webview.postMessage('escaped')</script>", "", false},
        {"assign " + other, "", false},
        {"open " + other, "", false},
        {"link SELF#part", "", false},
        {"assign SELF", "", true},
    };
    std::remove(k_opened.c_str());
    Spawned r = start({dir + "/index.html", "0", "800", "600", "1"});
    std::vector<std::string> got = until(r, "phello ");
    ASSERT_EQ(got.back().rfind("phello ", 0), 0u);
    EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const std::string &m) { return m[0] == 'p'; }), 1)
        << "the page's non-string message is dropped";
    std::string token = got.back().substr(7);
    const std::string odd = "a\"b\\c</script><!-- \xe2\x80\xa8\xe2\x80\xa9 \t\x01 \xc3\xa9\xf0\x9f\x98\x80'";
    send(r, "pecho " + odd);
    EXPECT_EQ(until(r, "p").back(), "p" + odd);

    std::string want; // the opener's calls so far
    for (const Row &row : rows) {
        SCOPED_TRACE(row.go);
        send(r, "pgo " + row.go);
        if (row.reloads) {
            got = until(r, "phello ");
            ASSERT_EQ(got.back().rfind("phello ", 0), 0u);
            EXPECT_NE(got.back().substr(7), token);
            token = got.back().substr(7);
        }
        send(r, "pping");
        got = until(r, "ppong ");
        EXPECT_EQ(got.back(), "ppong " + token);
        if (!row.opened.empty())
            want += row.opened + "\n";
        for (auto t0 = Clock::now(); ms_since(t0) < 3000 && slurp(k_opened) != want;)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (row.opened.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        got.push_back(next(r, 0));
        EXPECT_EQ(slurp(k_opened), want);
        for (const std::string &m : got)
            EXPECT_EQ(m.rfind("pescaped", 0), std::string::npos) << m;
    }
    // Every opener has been reaped.
    const std::string zombies = "ps -o stat= --ppid " + std::to_string(r.pid) + " | grep -c Z";
    EXPECT_EQ(shell_run(zombies).first, "0\n");
    EXPECT_EQ(finish(r, 1000), 0);
}

} // namespace
