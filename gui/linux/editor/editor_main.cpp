// The editor program's entry: arguments, the process's ties to the plug-in
// that started it, and the main loop.
//
//   vornic-zfen-editor <page path> <parent X11 window id, 0: top-level> <width> <height> <scale>
//
// The socket to the plug-in is descriptor 3. Bad arguments: one line on
// standard error and exit code 2; any other failure: one line and exit code 1.
#include "editor.h"

#include <sys/prctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

constexpr int k_socket_fd = 3;
constexpr int k_exit_usage = 2;
constexpr int k_max_side = 16384; // pixels
constexpr double k_min_scale = 0.25;
constexpr double k_max_scale = 8.0;

// Plain decimal digits, no sign, at most `max`.
bool parse_decimal(const char *text, unsigned long max, unsigned long *out)
{
    if (!text || !*text)
        return false;
    unsigned long v = 0;
    for (const char *c = text; *c; ++c) {
        if (*c < '0' || *c > '9')
            return false;
        const unsigned long digit = static_cast<unsigned long>(*c - '0');
        if (v > (max - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    *out = v;
    return true;
}

// The socket must be ours to use: a sequenced-packet socket, kept from any
// program this one starts.
bool take_socket(int fd)
{
    int type = 0;
    socklen_t len = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_SEQPACKET)
        return false;
    const int flags = fcntl(fd, F_GETFD);
    return flags >= 0 && fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

// GTK's own window scale would turn our physical pixels into logical ones:
// hold it at 1 while GTK reads it, and keep the user's setting for the
// programs we start.
bool open_display()
{
    gchar *saved = g_strdup(g_getenv("GDK_SCALE"));
    g_setenv("GDK_SCALE", "1", TRUE);
    gdk_set_allowed_backends("x11");
    const bool ok = gtk_init_check(nullptr, nullptr);
    if (saved)
        g_setenv("GDK_SCALE", saved, TRUE);
    else
        g_unsetenv("GDK_SCALE");
    g_free(saved);
    return ok;
}

} // namespace

bool editor_parse_size(const char *width, const char *height, const char *scale, EditorSize *out)
{
    unsigned long w = 0, h = 0;
    if (!parse_decimal(width, k_max_side, &w) || !parse_decimal(height, k_max_side, &h) || w == 0 || h == 0)
        return false;
    if (!scale || !*scale || !g_ascii_isdigit(*scale))
        return false;
    char *end = nullptr;
    const double s = g_ascii_strtod(scale, &end);
    if (*end || !std::isfinite(s) || s < k_min_scale || s > k_max_scale)
        return false;
    *out = {static_cast<int>(w), static_cast<int>(h), s};
    return true;
}

void editor_log(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "%s: %s\n", EDITOR_PROGRAM, line);
}

void editor_quit(Editor *e, int exit_code)
{
    if (e->exit_code < 0)
        e->exit_code = exit_code;
    g_main_loop_quit(e->loop);
}

int main(int argc, char **argv)
{
    // A host that dies takes its editor with it; it may already be gone.
    const pid_t starter = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != starter) {
        editor_log("the plug-in that started it has ended");
        return 1;
    }

    unsigned long parent = 0;
    EditorSize size{};
    if (argc != 6 || !*argv[1] || !parse_decimal(argv[2], UINT32_MAX, &parent) ||
        !editor_parse_size(argv[3], argv[4], argv[5], &size)) {
        editor_log("bad arguments; usage: %s <page path> <parent X11 window id, 0 for none> <width> <height> "
                   "<scale>",
                   EDITOR_PROGRAM);
        return k_exit_usage;
    }
    if (!take_socket(k_socket_fd)) {
        editor_log("descriptor %d is not the socket to the plug-in", k_socket_fd);
        return 1;
    }

    Editor e{};
    e.fd = k_socket_fd;
    e.parent = parent;
    e.exit_code = -1;
    gchar *path = g_canonicalize_filename(argv[1], nullptr);
    e.page_path = path;
    g_free(path);
    if (!g_file_test(e.page_path.c_str(), G_FILE_TEST_IS_REGULAR)) {
        editor_log("the editor page is missing: %s", e.page_path.c_str());
        return 1;
    }
    if (!open_display()) {
        editor_log("cannot open the X display");
        return 1;
    }

    e.loop = g_main_loop_new(nullptr, FALSE);
    editor_link_start(&e);
    if (!editor_view_create(&e, size))
        return 1;
    if (e.exit_code < 0)
        g_main_loop_run(e.loop);

    if (e.window)
        gtk_widget_destroy(e.window);
    gdk_display_flush(gdk_display_get_default());
    editor_link_flush(&e, 200);
    return e.exit_code < 0 ? 0 : e.exit_code;
}
