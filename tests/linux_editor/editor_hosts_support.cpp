#include "editor_hosts_support.h"

#include <X11/Xutil.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

extern char **environ;

namespace {

const char k_mark[] = "ZFEN_TEST_MARK";

std::string read_file(const std::string &path) { return (std::stringstream() << std::ifstream(path).rdbuf()).str(); }

std::vector<pid_t> all_pids()
{
    std::vector<pid_t> pids;
    if (DIR *d = opendir("/proc")) {
        while (dirent *e = readdir(d))
            if (const pid_t p = pid_t(std::atoi(e->d_name)); p > 0)
                pids.push_back(p);
        closedir(d);
    }
    return pids;
}

RunLoop *loop_of(IRunLoop *l) { return reinterpret_cast<RunLoop *>(l); }

} // namespace

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string drag_command(int x, int y, int dy)
{
    char cmd[200];
    std::snprintf(cmd, sizeof cmd,
                  "xdotool mousemove %d %d sleep 0.2 mousedown 1 sleep 0.1 mousemove %d %d sleep 0.1 "
                  "mousemove %d %d sleep 0.1 mouseup 1",
                  x, y, x, y + dy / 2, x, y + dy);
    return cmd;
}

bool wait_drawn(Display *x, int sx, int sy, int ms)
{
    for (auto t0 = Clock::now(); ms_since(t0) < ms; sleep_ms(50)) {
        XImage *img = XGetImage(x, DefaultRootWindow(x), sx - 12, sy - 12, 24, 24, AllPlanes, ZPixmap);
        std::set<unsigned long> colours;
        for (int i = 0; img && i < 24 * 24; ++i)
            colours.insert(XGetPixel(img, i % 24, i / 24));
        if (img)
            XDestroyImage(img);
        if (colours.size() > 1)
            return true;
    }
    return false;
}

RunLoop::RunLoop()
{
    static const IRunLoopVtbl vtbl = {
        [](IRunLoop *, const char *, void **obj) -> tresult {
            *obj = nullptr;
            return kNoInterface;
        },
        [](IRunLoop *) -> uint32_t { return 1; },
        [](IRunLoop *) -> uint32_t { return 1; },
        [](IRunLoop *self, IEventHandler *h, int fd) -> tresult {
            if (!h || fd < 0)
                return kInvalidArgument;
            loop_of(self)->handlers.push_back({h, fd});
            return kResultOk;
        },
        [](IRunLoop *self, IEventHandler *h) -> tresult {
            auto &hs = loop_of(self)->handlers;
            std::erase_if(hs, [h](auto &e) { return e.first == h; });
            return kResultOk;
        },
        [](IRunLoop *, ITimerHandler *, uint64_t) -> tresult { return kNotImplemented; },
        [](IRunLoop *, ITimerHandler *) -> tresult { return kNotImplemented; },
    };
    iface.vtbl = &vtbl;
}

void RunLoop::pump(int ms, const std::function<bool()> &done)
{
    for (auto t0 = Clock::now(); ms_since(t0) < ms && !(done && done());) {
        std::vector<pollfd> fds;
        for (auto &[h, fd] : handlers)
            fds.push_back({fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 10) <= 0)
            continue;
        const auto registered = handlers; // a handler may unregister itself
        for (size_t i = 0; i < fds.size(); ++i)
            if (fds[i].revents) {
                ++calls;
                registered[i].first->vtbl->onFDIsSet(registered[i].first, fds[i].fd);
            }
    }
}

LoopFrame::LoopFrame(RunLoop *l) : loop(l)
{
    static const IPlugFrameVtbl vtbl = {
        [](IPlugFrame *self, const char *iid, void **obj) -> tresult {
            const bool run_loop = vst3_uid_equal(iid, IID_IRunLoop);
            *obj = run_loop ? &reinterpret_cast<LoopFrame *>(self)->loop->iface : nullptr;
            return run_loop ? kResultOk : kNoInterface;
        },
        [](IPlugFrame *) -> uint32_t { return 1; },
        [](IPlugFrame *) -> uint32_t { return 1; },
        [](IPlugFrame *, IPlugView *, ViewRect *) -> tresult { return kResultFalse; },
    };
    iface.vtbl = &vtbl;
}

int fd_count()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n - 1; // the one opendir holds
}

std::vector<Child> children()
{
    std::vector<Child> kids;
    for (pid_t p : all_pids()) {
        // "pid (comm) state ppid ...": comm may hold spaces and parentheses.
        const std::string stat = read_file("/proc/" + std::to_string(p) + "/stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos || close + 4 >= stat.size())
            continue;
        if (std::atoi(stat.c_str() + stat.find(' ', close + 3)) == getpid())
            kids.push_back({p, stat[close + 2], stat.substr(stat.find('(') + 1, close - stat.find('(') - 1)});
    }
    return kids;
}

void mark_environment() { setenv(k_mark, std::to_string(getpid()).c_str(), 1); }

int marked_processes()
{
    const std::string mark = std::string(k_mark) + "=" + std::to_string(getpid());
    int n = 0;
    for (pid_t p : all_pids()) {
        const std::string env = read_file("/proc/" + std::to_string(p) + "/environ");
        n += p != getpid() && (env.rfind(mark + '\0', 0) == 0 || env.find('\0' + mark + '\0') != std::string::npos);
    }
    return n;
}

pid_t spawn_logged(const std::vector<std::string> &argv, const std::string &log)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

void stop(pid_t pid, int ms)
{
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    for (auto t0 = Clock::now(); waitpid(pid, nullptr, WNOHANG) == 0; sleep_ms(10))
        if (ms_since(t0) > ms) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return;
        }
}
