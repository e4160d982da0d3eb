// The socket to the plug-in: one message per packet, UTF-8 without NUL.
//   in:  "p<text>" post the text to the page; "z <width> <height> <scale>"
//        resize and zoom; anything else is ignored; end of file ends the program.
//   out: "w <window id>", "r", "p<text>", "c" (written by the window and view code).
#include "editor.h"

#include <glib-unix.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <utility>

namespace {

// More than this many unsent messages means the plug-in has stopped reading.
constexpr size_t k_max_unsent = 4096;
// Messages handled per wake-up, so a flood cannot starve drawing.
constexpr int k_reads_per_wake = 256;

void handle_message(Editor *e, char *m, size_t n)
{
    if (n >= 1 && m[0] == 'p') {
        editor_view_post(e, m + 1, n - 1);
    } else if (n >= 2 && m[0] == 'z' && m[1] == ' ') {
        m[n] = 0;
        char **fields = g_strsplit(m + 2, " ", 4);
        EditorSize size;
        if (g_strv_length(fields) == 3 && editor_parse_size(fields[0], fields[1], fields[2], &size))
            editor_view_resize(e, size);
        g_strfreev(fields);
    }
}

gboolean on_readable(gint fd, GIOCondition, gpointer user)
{
    Editor *e = static_cast<Editor *>(user);
    static char buf[k_editor_message_max + 1];
    for (int i = 0; i < k_reads_per_wake; ++i) {
        const ssize_t n = recv(fd, buf, k_editor_message_max, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return G_SOURCE_CONTINUE;
        if (n <= 0) { // end of file, or the socket failed: the plug-in is done with us
            editor_quit(e, 0);
            return G_SOURCE_REMOVE;
        }
        if (static_cast<size_t>(n) <= k_editor_message_max) // longer ones came truncated: dropped
            handle_message(e, buf, static_cast<size_t>(n));
    }
    return G_SOURCE_CONTINUE;
}

// 1: sent; 0: the socket is full; -1: the plug-in is gone.
int send_one(Editor *e, const std::string &m)
{
    for (;;) {
        if (send(e->fd, m.data(), m.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
            return 1;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

// Sends what is queued, in order; false once the plug-in is gone.
bool send_queued(Editor *e)
{
    while (!e->to_plugin.empty()) {
        const int r = send_one(e, e->to_plugin.front());
        if (r <= 0)
            return r == 0;
        e->to_plugin.pop_front();
    }
    return true;
}

gboolean on_writable(gint, GIOCondition, gpointer user)
{
    Editor *e = static_cast<Editor *>(user);
    if (!send_queued(e)) {
        editor_quit(e, 0);
    } else if (!e->to_plugin.empty()) {
        return G_SOURCE_CONTINUE;
    }
    e->write_watch = 0;
    return G_SOURCE_REMOVE;
}

} // namespace

void editor_link_start(Editor *e)
{
    g_unix_fd_add(e->fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), on_readable, e);
}

void editor_link_send(Editor *e, char kind, const char *text, size_t length)
{
    if (length + 1 > k_editor_message_max || e->to_plugin.size() >= k_max_unsent)
        return;
    std::string m(1, kind);
    m.append(text, length);
    if (e->to_plugin.empty()) {
        const int r = send_one(e, m);
        if (r != 0) {
            if (r < 0)
                editor_quit(e, 0);
            return;
        }
    }
    e->to_plugin.push_back(std::move(m));
    if (!e->write_watch)
        e->write_watch = g_unix_fd_add(e->fd, G_IO_OUT, on_writable, e);
}

void editor_link_flush(Editor *e, int timeout_ms)
{
    const gint64 end = g_get_monotonic_time() + gint64{timeout_ms} * 1000;
    while (!e->to_plugin.empty() && send_queued(e) && !e->to_plugin.empty()) {
        const gint64 left_ms = (end - g_get_monotonic_time()) / 1000;
        if (left_ms <= 0)
            return;
        pollfd p{e->fd, POLLOUT, 0};
        poll(&p, 1, static_cast<int>(left_ms));
    }
}
