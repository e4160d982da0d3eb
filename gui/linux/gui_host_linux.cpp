// The GUI host on Linux: the editor page runs in a program of our own (GTK 3
// and WebKitGTK never enter the plug-in host's process), found beside the
// plug-in binary and started with posix_spawn. The two talk over a socket
// pair, one message a packet:
//   to the program:   "p<text>" a text for the page, "z <w> <h> <scale>" a resize;
//   from the program: "w <window>" its X window, once, "r" the page loaded,
//                     "p<text>" a page message, "c" the user closed its window.
// Closing the socket ends the program. No thread of ours: the plug-in host's
// run loop (or LV2 idle) calls gui_host_idle on its main thread, which reads
// the socket and runs the page's edits there.
#include "gui/gui_host.h"
#include "gui/gui_protocol.h"
#include "zfen_product.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

extern char **environ;

namespace {

constexpr char k_program[] = ZFEN_PLUGIN_ID "-editor";
constexpr int k_program_fd = 3;             // where the program finds its socket
constexpr size_t k_message_max = 64 * 1024; // the program's limit too
constexpr int k_start_ms = 5000;            // for the program's window; a cold start takes well under 1 s
constexpr int k_end_ms = 2000;              // for the program to end once its socket is closed
constexpr int k_reap_ended_ms = 100;        // for a program that closed its socket to be reaped

} // namespace

struct GuiHost {
    // Set at creation; read-only afterwards.
    GuiHostDesc desc;
    GuiTextHandler text_handler;   // on_text null: none
    int fd;                        // our end of the socket pair
    pid_t pid;                     // the program, reaped before the host is freed
    std::atomic<uintptr_t> window; // its X window; 0 once it has gone
    // Under `lock`: the page protocol, its value cache and every send.
    std::mutex lock;
    GuiDispatch dispatch;
    int32_t width;
    int32_t height;
    // The main thread's.
    GuiEditFrames frames; // closed: no more edits reach the front end; torn down when the last frame returns
};

namespace {

int64_t now_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void log_line(const GuiHostDesc &desc, const char *what, const char *detail)
{
    char line[512];
    std::snprintf(line, sizeof line, "%s editor: %s%s%s", ZFEN_NAME, what, detail ? ": " : "", detail ? detail : "");
    if (desc.log)
        desc.log(desc.edit.user, line);
    else
        std::fprintf(stderr, "%s\n", line);
}

// [main] One message to the program; dropped when the program is not reading.
void send_message(GuiHost *h, const char *prefix, const char *text)
{
    char buf[k_message_max];
    const int n = std::snprintf(buf, sizeof buf, "%s%s", prefix, text);
    if (n > 0 && static_cast<size_t>(n) < sizeof buf)
        send(h->fd, buf, static_cast<size_t>(n), MSG_DONTWAIT | MSG_NOSIGNAL);
}

void post_to_page(void *ctx, const char *text) { send_message(static_cast<GuiHost *>(ctx), "p", text); }

// Waits for the program to end, at most `ms`, then ends it; never leaves a zombie.
void reap(pid_t pid, int ms)
{
    const int64_t until = now_ms() + ms;
    for (;;) {
        const pid_t r = waitpid(pid, nullptr, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            return;
        if (now_ms() >= until)
            break;
        usleep(2000);
    }
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// `grace`: how long the program may take to end once its socket is closed.
void teardown(GuiHost *h, int grace = k_end_ms)
{
    close(h->fd); // the program sees the end of its socket and quits
    if (h->pid > 0)
        reap(h->pid, grace);
    std::free(h->dispatch.values);
    h->~GuiHost();
    std::free(h);
}

void frame_enter(GuiHost *h) { gui_frames_enter(&h->frames); }
// The last thing a frame does: the host may be gone afterwards.
void frame_leave(GuiHost *h)
{
    if (gui_frames_leave(&h->frames))
        teardown(h);
}

// [main] Page edits run here, on the plug-in host's main thread, without the
// lock: the front end may set values from inside them.
void run_edit(void *ctx, GuiEditStep step, uint32_t index, float value)
{
    GuiHost *h = static_cast<GuiHost *>(ctx);
    if (h->frames.closed)
        return;
    h->lock.unlock();
    gui_edit_step(&h->desc.edit, step, index, value, &h->frames.closed);
    h->lock.lock();
}

void run_menu(void *ctx, uint32_t index, int32_t x, int32_t y)
{
    GuiHost *h = static_cast<GuiHost *>(ctx);
    if (h->frames.closed)
        return;
    h->lock.unlock();
    gui_edit_menu(&h->desc.edit, index, x, y);
    h->lock.lock();
}

void deliver_text(void *ctx, const char *text)
{
    GuiHost *h = static_cast<GuiHost *>(ctx);
    if (!h->frames.closed)
        h->text_handler.on_text(h, h->text_handler.user, text);
}

// "<folder>/<name>", malloc'd; a folder ending in '/' keeps one.
char *path_in(const char *folder, const char *name)
{
    const size_t n = std::strlen(folder);
    const bool slash = n && folder[n - 1] == '/';
    char *p = static_cast<char *>(std::malloc(n + std::strlen(name) + 2));
    if (p)
        std::sprintf(p, "%s%s%s", folder, slash ? "" : "/", name);
    return p;
}

// Starts the program with its socket at descriptor 3 and no other descriptor
// of the plug-in host's; the program's signals as a fresh process has them.
int spawn_program(const char *program, char *const argv[], int child_fd, pid_t *pid)
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_adddup2(&actions, child_fd, k_program_fd);
    posix_spawn_file_actions_addclosefrom_np(&actions, k_program_fd + 1);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int err = posix_spawn(pid, program, &actions, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return err;
}

// [main] Waits, bounded, for the program's "w <window>"; false if it ended or
// said nothing in time.
bool await_window(GuiHost *h, const char **why)
{
    const int64_t until = now_ms() + k_start_ms;
    char buf[k_message_max + 1];
    for (;;) {
        const int64_t left = until - now_ms();
        if (left <= 0) {
            *why = "the editor program did not show its window in time";
            return false;
        }
        pollfd p{h->fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            continue;
        const ssize_t n = recv(h->fd, buf, k_message_max, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0) {
            *why = "the editor program ended at start-up (is libwebkit2gtk-4.1-0 installed?)";
            return false;
        }
        buf[n] = 0;
        unsigned long long id = 0;
        if (buf[0] == 'w' && std::sscanf(buf, "w %llu", &id) == 1 && id) {
            h->window.store(static_cast<uintptr_t>(id));
            return true;
        }
    }
}

} // namespace

GuiHost *gui_host_create(bool child, void *parent, const GuiHostDesc *desc, const GuiTextHandler *text_handler,
                         int32_t width, int32_t height, size_t value_count)
{
    if (!desc || !desc->loader_dir || !desc->page_dir || !desc->edit.current || !desc->edit.touch || !desc->edit.set ||
        (child && !parent) || width <= 0 || height <= 0)
        return nullptr;
    const char *program_dir = desc->loader_dir(desc->edit.user);
    const char *page_dir = desc->page_dir(desc->edit.user);
    if (!program_dir || !page_dir)
        return nullptr;
    void *mem = std::calloc(1, sizeof(GuiHost));
    float *values = static_cast<float *>(std::calloc(value_count ? value_count : 1, sizeof(float)));
    char *program = path_in(program_dir, k_program);
    char *page = path_in(page_dir, "index.html");
    int sv[2] = {-1, -1};
    if (!mem || !values || !program || !page || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
        log_line(*desc, "no editor", std::strerror(mem && values && program && page ? errno : ENOMEM));
        std::free(mem);
        std::free(values);
        std::free(program);
        std::free(page);
        return nullptr;
    }
    GuiHost *h = new (mem) GuiHost{};
    h->desc = *desc;
    h->fd = sv[0];
    h->width = width;
    h->height = height;
    h->dispatch = GuiDispatch{h, run_edit, run_menu, nullptr, values, value_count, post_to_page};
    if (text_handler && text_handler->on_text) {
        h->text_handler = *text_handler;
        h->dispatch.on_text = deliver_text;
    }
    // dup2 onto its own number would keep close-on-exec set: keep the child's
    // end clear of descriptor 3.
    int child_fd = sv[1];
    if (child_fd == k_program_fd) {
        child_fd = fcntl(sv[1], F_DUPFD_CLOEXEC, k_program_fd + 1);
        close(sv[1]);
    }
    char parent_text[24], width_text[16], height_text[16];
    std::snprintf(parent_text, sizeof parent_text, "%llu",
                  static_cast<unsigned long long>(child ? reinterpret_cast<uintptr_t>(parent) : 0));
    std::snprintf(width_text, sizeof width_text, "%d", width);
    std::snprintf(height_text, sizeof height_text, "%d", height);
    char scale_text[] = "1";
    char *argv[] = {program, page, parent_text, width_text, height_text, scale_text, nullptr};
    const int err = child_fd >= 0 ? spawn_program(program, argv, child_fd, &h->pid) : errno;
    if (child_fd >= 0)
        close(child_fd);
    const char *why = nullptr;
    if (err != 0) {
        h->pid = 0;
        log_line(*desc, "the editor program could not be started", std::strerror(err));
    } else if (!await_window(h, &why)) {
        log_line(*desc, why, nullptr);
    }
    std::free(program);
    std::free(page);
    if (err != 0 || why) {
        teardown(h, 0); // a program that failed to start owes us nothing
        return nullptr;
    }
    return h;
}

void gui_host_destroy(GuiHost *h)
{
    if (!h)
        return;
    if (gui_frames_close(&h->frames))
        teardown(h); // otherwise the outermost frame of ours does
}

void gui_host_set_value(GuiHost *h, uint32_t index, float value)
{
    if (!h || index >= h->dispatch.value_count)
        return;
    std::lock_guard<std::mutex> hold(h->lock);
    gui_protocol_send_value(&h->dispatch, index, value);
}

void gui_host_post_text(GuiHost *h, const char *text)
{
    if (!h || !text)
        return;
    std::lock_guard<std::mutex> hold(h->lock);
    gui_protocol_send_text(&h->dispatch, text);
}

bool gui_host_idle(GuiHost *h)
{
    if (!h || !h->window.load())
        return false;
    frame_enter(h);
    char buf[k_message_max + 1];
    for (int i = 0; i < 256 && !h->frames.closed && h->window.load(); ++i) {
        const ssize_t n = recv(h->fd, buf, k_message_max, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0) { // the program ended without being asked
            log_line(h->desc, "the editor program ended unexpectedly", nullptr);
            h->window.store(0);
            // Its descriptors close as it exits: reaped now, or the host
            // keeps a zombie for as long as it keeps the editor.
            reap(h->pid, k_reap_ended_ms);
            h->pid = 0;
            break;
        }
        if (static_cast<size_t>(n) > k_message_max)
            continue; // cut short: not a message of the page's
        buf[n] = 0;
        if (buf[0] == 'p') {
            std::lock_guard<std::mutex> hold(h->lock);
            gui_protocol_parse(&h->dispatch, buf + 1);
        } else if (buf[0] == 'c') {
            h->window.store(0); // the user closed a window of its own
        }
    }
    const bool open = !h->frames.closed && h->window.load() != 0;
    frame_leave(h);
    return open;
}

void *gui_host_window(GuiHost *h) { return h ? reinterpret_cast<void *>(h->window.load()) : nullptr; }

int gui_host_fd(GuiHost *h) { return h ? h->fd : -1; }

void gui_host_set_size(GuiHost *h, int32_t width, int32_t height, float scale)
{
    if (!h || width <= 0 || height <= 0 || !(scale > 0.0f))
        return;
    h->width = width;
    h->height = height;
    char text[64];
    std::snprintf(text, sizeof text, "%d %d %g", width, height, static_cast<double>(scale));
    std::lock_guard<std::mutex> hold(h->lock);
    send_message(h, "z ", text);
}

bool gui_host_size(GuiHost *h, int32_t *width, int32_t *height)
{
    if (!h || !h->window.load())
        return false;
    *width = h->width;
    *height = h->height;
    return true;
}
