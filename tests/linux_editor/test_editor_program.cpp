// The Linux editor program as the plug-in runs it: a socket pair on
// descriptor 3, a real X server (xvfb-run), WebKitGTK, and real pointer input
// from xdotool. xdg-open is a stand-in early on PATH that records its calls.
#include "support/shell_run.h"

#include <gtest/gtest.h>
// After gtest, whose names Xlib's macros (None) would replace.
#include "editor_hosts_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

const std::string k_tmp = ::testing::TempDir(), k_opened = k_tmp + "zfen-opened.txt", k_err = k_tmp + "zfen-err.txt";

std::string slurp(const std::string &path) { return (std::stringstream() << std::ifstream(path).rdbuf()).str(); }
bool starts(const std::string &s, const std::string &prefix) { return s.rfind(prefix, 0) == 0; }
std::string bits(float v) { return (std::stringstream() << std::hex << std::bit_cast<uint32_t>(v)).str(); }

struct Spawned {
    pid_t pid;
    int fd;
    Clock::time_point started;
};

// The program with our end of a socket pair; its standard error goes to k_err.
Spawned start(const char *program, std::vector<std::string> args, bool with_socket = true)
{
    int sv[2];
    socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv);
    args.insert(args.begin(), program);
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) { // dup2 clears close-on-exec, unless both numbers are the same: hence by way of 10 and up
        if (with_socket)
            dup2(fcntl(sv[1], F_DUPFD_CLOEXEC, 10), 3);
        dup2(open(k_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600), 2);
        execv(program, argv.data());
        _exit(127);
    }
    close(sv[1]);
    return {pid, sv[0], Clock::now()};
}

// Messages up to and including the first that starts with `prefix` (within
// `ms`); "EOF" stands for the end of file.
std::vector<std::string> until(Spawned &r, const std::string &prefix, int ms = 10000)
{
    std::vector<std::string> got{""};
    char buf[70000];
    pollfd p{r.fd, POLLIN, 0};
    for (auto t0 = Clock::now(); ms_since(t0) < ms && !starts(got.back(), prefix) && got.back() != "EOF";)
        if (poll(&p, 1, 50) > 0) {
            const ssize_t n = recv(r.fd, buf, sizeof buf, 0);
            got.push_back(n <= 0 ? "EOF" : std::string(buf, size_t(n)));
        }
    return got;
}

void send(Spawned &r, const std::string &m) { ::send(r.fd, m.data(), m.size(), MSG_NOSIGNAL); }

// The exit code once the program has ended within `ms`, after we hung up if
// asked; -1 if it had to be killed.
int finish(Spawned &r, int ms, bool hang_up = true)
{
    if (hang_up)
        close(r.fd);
    int status = 0;
    for (auto t0 = Clock::now(); waitpid(r.pid, &status, WNOHANG) == 0; sleep_ms(5))
        if (ms_since(t0) > ms)
            return kill(r.pid, SIGKILL), waitpid(r.pid, &status, 0), -1;
    if (!hang_up)
        close(r.fd);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class EditorProgram : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The stand-in opener writes its argument count and arguments, with
        // "leaked" first if our socket reached it.
        const std::string bin = k_tmp + "zfen-bin";
        shell_run("mkdir -p " + bin);
        std::ofstream(bin + "/xdg-open") << "#!/bin/sh\n[ -e /proc/$$/fd/3 ] && set -- leaked \"$@\"\n"
                                            "printf '%s %s\\n' \"$#\" \"$*\" >>\"$ZFEN_TEST_OPENED\"\n";
        shell_run("chmod +x " + bin + "/xdg-open");
        setenv("PATH", (bin + ":" + getenv("PATH")).c_str(), 1);
        setenv("ZFEN_TEST_OPENED", k_opened.c_str(), 1);
        x = XOpenDisplay(nullptr); // one connection throughout: the server never resets under us
    }
    void SetUp() override { ASSERT_NE(x, nullptr) << "run under xvfb-run"; }
    static inline Display *x = nullptr;
};

TEST_F(EditorProgram, RefusesToStartWithOneLine)
{
    const std::string page = ZFEN_LV2_BUNDLE "/index.html", display = getenv("DISPLAY");
    const struct {
        std::vector<std::string> args;
        bool socket, display;
        int code;
        const char *says;
    } rows[] = {
        {{page, "0", "800", "600"}, true, true, 2, "usage"},
        {{page, "0", "0", "600", "1"}, true, true, 2, "usage"},
        {{page, "-1", "800", "600", "1"}, true, true, 2, "usage"},
        {{page, "0", "800", "600", "1,5"}, true, true, 2, "usage"},
        {{page, "0", "800", "600", "1"}, false, true, 1, "descriptor 3"},
        {{page + ".gone", "0", "800", "600", "1"}, true, true, 1, "page is missing"},
        {{page, "0", "800", "600", "1"}, true, false, 1, "X display"},
        {{page, "4194303", "800", "600", "1"}, true, true, 1, "window 4194303 does not exist"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.says);
        setenv("DISPLAY", row.display ? display.c_str() : "", 1);
        Spawned r = start(ZFEN_LV2_EDITOR, row.args, row.socket);
        EXPECT_EQ(finish(r, 10000, false), row.code);
        const std::string text = slurp(k_err);
        EXPECT_TRUE(starts(text, "vornic-zfen-editor: ") && text.find(row.says) != std::string::npos) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    }
    setenv("DISPLAY", display.c_str(), 1);
}

// The editor page, top-level or in a host's window (from the VST 3 bundle's
// copies): a value posted before the page has loaded is the start of a real
// drag of the Cutoff knob, which arrives as begin, performs and end; then the
// editor goes as a host ends it, promptly and quietly.
TEST_F(EditorProgram, ShowsThePageAndCarriesADrag)
{
    enum Ending { close_socket, destroy_parent, user_closes };
    const struct {
        const char *name;
        bool embedded;
        int width, height; // the window after `resize`, if any
        const char *scale, *resize;
        double zoom;
        int drag_px;
        Ending ending;
    } rows[] = {
        {"top-level", false, 800, 600, "1", nullptr, 1.0, 50, user_closes},
        {"embedded at scale 1.5", true, 1200, 900, "1.5", nullptr, 1.5, 48, destroy_parent},
        {"embedded, resized", true, 1000, 750, "1", "z 1000 750 1.25", 1.25, 50, close_socket},
    };
    const Window root = DefaultRootWindow(x);
    const float start_value = 3;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const Window parent = row.embedded ? XCreateSimpleWindow(x, root, 100, 50, 1400, 1000, 0, 0, 0) : 0;
        XMapWindow(x, parent ? parent : root);
        XSync(x, False);
        Spawned r = start(parent ? ZFEN_VST3_EDITOR : ZFEN_LV2_EDITOR,
                          {parent ? ZFEN_VST3_PAGE : ZFEN_LV2_BUNDLE "/index.html", std::to_string(parent),
                           row.resize ? "800" : std::to_string(row.width),
                           row.resize ? "600" : std::to_string(row.height), row.scale});
        send(r, "ps 00000000 " + bits(start_value)); // before the page has loaded
        const std::string w = until(r, "w ").back();
        ASSERT_TRUE(starts(w, "w ")) << w;
        const long to_w = ms_since(r.started);
        const Window editor = std::stoul(w.substr(2));
        Window up = 0, top = 0, *kids = nullptr;
        unsigned n = 0;
        if (XQueryTree(x, editor, &top, &up, &kids, &n) && kids)
            XFree(kids);
        EXPECT_EQ(up, row.embedded ? parent : root);
        std::vector<std::string> got = until(r, "r");
        ASSERT_EQ(got.back(), "r");
        std::printf("[ %s ] spawn to w: %ld ms, to r: %ld ms\n", row.name, to_w, ms_since(r.started));
        if (std::find(got.begin(), got.end(), "pg") == got.end())
            got = until(r, "p", 3000); // the page's "g" may come just before "r" or after
        EXPECT_EQ(*std::find_if(got.begin(), got.end(), [](auto &m) { return starts(m, "p"); }), "pg");
        if (row.resize)
            send(r, row.resize);
        XWindowAttributes a{};
        const auto size = [&] { return std::make_pair(a.width, a.height); };
        for (auto t0 = Clock::now(); ms_since(t0) < 3000 && size() != std::make_pair(row.width, row.height);)
            sleep_ms(20), XGetWindowAttributes(x, editor, &a);
        EXPECT_EQ(size(), std::make_pair(row.width, row.height));

        int kx = 0, ky = 0;
        XTranslateCoordinates(x, editor, root, int(k_knob_x * row.zoom), int(k_knob_y * row.zoom), &kx, &ky, &top);
        sleep_ms(300);
        EXPECT_EQ(shell_run(drag_command(kx, ky, -row.drag_px)).second, 0);
        std::vector<std::string> edits = until(r, "pe ", 5000);
        edits.erase(edits.begin());
        const float final_value = std::round(start_value + float(row.drag_px / (10 * row.zoom)));
        ASSERT_GE(edits.size(), 3u);
        EXPECT_EQ(edits.front(), "pb 0 " + bits(start_value));
        for (size_t i = 1; i + 1 < edits.size(); ++i)
            EXPECT_TRUE(starts(edits[i], "ps 0 ")) << edits[i];
        EXPECT_EQ(edits[edits.size() - 2], "ps 0 " + bits(final_value));
        EXPECT_EQ(edits.back(), "pe 0 " + bits(final_value));

        const auto t0 = Clock::now();
        XEvent bye{};
        bye.xclient = {ClientMessage, 0, False, x, editor, XInternAtom(x, "WM_PROTOCOLS", False), 32, {}};
        bye.xclient.data.l[0] = long(XInternAtom(x, "WM_DELETE_WINDOW", False));
        if (row.ending == user_closes)
            XSendEvent(x, editor, False, NoEventMask, &bye);
        if (parent && row.ending == destroy_parent)
            XDestroyWindow(x, parent);
        XSync(x, False);
        if (row.ending == user_closes) {
            EXPECT_EQ(until(r, "c", 2000).back(), "c");
        }
        EXPECT_EQ(finish(r, 1000, row.ending == close_socket), 0);
        std::printf("[ %s ] ended after %ld ms\n", row.name, ms_since(t0));
        EXPECT_EQ(slurp(k_err), "");
        if (parent && row.ending != destroy_parent)
            XDestroyWindow(x, parent);
    }
}

// A probe page tries to leave: only its own page loads; web and mail
// addresses go to the opener (one argument each), and the page stays.
TEST_F(EditorProgram, KeepsToItsPageAndOpensWebAddressesOutside)
{
    const std::string other = "file://" ZFEN_PROBE_DIR "/other.html", escape = "window.chrome.webview.postMessage";
    const struct {
        std::string go, opened; // opened: "" when refused
    } rows[] = {
        {"link http://example.com/a?b=1", "1 http://example.com/a?b=1"},
        {"blank https://example.com/new", "1 https://example.com/new"},
        {"open https://example.com/open", "1 https://example.com/open"},
        {"assign mailto:someone@example.com", "1 mailto:someone@example.com"},
        {"link mailto:a\"b@example.com", ""},
        {"link ftp://example.com/f", ""},
        {"link javascript:" + escape + "('escaped')", ""},
        {"open javascript:" + escape + "('escaped')", ""},
        {"link data:text/html,<script>" + escape + "('escaped')</script>", ""},
        {"assign " + other, ""},
        {"open " + other, ""},
        {"link SELF#part", ""},
        {"assign SELF", ""}, // reloads
    };
    std::remove(k_opened.c_str());
    Spawned r = start(ZFEN_LV2_EDITOR, {ZFEN_PROBE_DIR "/index.html", "0", "800", "600", "1"});
    std::vector<std::string> got = until(r, "phello ");
    ASSERT_TRUE(starts(got.back(), "phello "));
    EXPECT_EQ(std::count_if(got.begin(), got.end(), [](auto &m) { return starts(m, "p"); }), 1) << "non-string";
    std::string token = got.back().substr(7), want; // want: the opener's calls so far
    const std::string odd = "a\"b\\c</script><!-- \xe2\x80\xa8\xe2\x80\xa9 \t\x01 \xc3\xa9\xf0\x9f\x98\x80'";
    send(r, "pecho " + odd);
    EXPECT_EQ(until(r, "p").back(), "p" + odd);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.go);
        const bool reloads = row.go == "assign SELF";
        send(r, "pgo " + row.go);
        if (reloads) {
            ASSERT_TRUE(starts(until(r, "phello ").back(), "phello "));
        }
        send(r, "pping");
        got = until(r, "ppong ");
        EXPECT_EQ(got.back() == "ppong " + token, !reloads) << got.back();
        token = got.back().substr(6);
        for (const std::string &m : until(r, "\x7f", 300)) // whatever else comes
            got.push_back(m);
        EXPECT_EQ(std::count_if(got.begin(), got.end(), [](auto &m) { return starts(m, "pescaped"); }), 0);
        want += row.opened.empty() ? "" : row.opened + "\n";
        for (auto t0 = Clock::now(); ms_since(t0) < 3000 && slurp(k_opened) != want;)
            sleep_ms(20);
        EXPECT_EQ(slurp(k_opened), want);
    }
    EXPECT_EQ(shell_run("ps -o stat= --ppid " + std::to_string(r.pid) + " | grep -c Z").first, "0\n") << "reaped";
    EXPECT_EQ(finish(r, 1000), 0);
}

} // namespace
