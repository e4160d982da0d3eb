// What the Linux editor's tests and its bench share: the Cutoff knob's place
// on the page, xdotool drags, a VST 3 host's frame with a run loop of its own
// on the caller's thread, and counts of what a run leaves behind.
// Include after gtest: Xlib's macros (None) would replace its names.
#pragma once
#include "vst3/vst3_abi.h"

#include <X11/Xlib.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using Clock = std::chrono::steady_clock;
inline long ms_since(Clock::time_point t) { return long((Clock::now() - t) / std::chrono::milliseconds(1)); }
void sleep_ms(int ms);

// The Cutoff knob's centre in the page's 800 x 600; a drag moves it one step
// per 10 pixels at zoom 1, up for more.
constexpr int k_knob_x = 141, k_knob_y = 194;
// An xdotool command that presses at (x, y) on the screen, moves by `dy`
// (down positive) in two moves and releases.
std::string drag_command(int x, int y, int dy);
// Waits, at most `ms`, until the 24 x 24 pixels around (x, y) of the screen
// hold more than one colour: the page has drawn its knob there.
bool wait_drawn(Display *x, int sx, int sy, int ms);

// The host's run loop: registered descriptors polled on the caller's thread,
// each readable one's handler called there.
struct RunLoop {
    IRunLoop iface;
    std::vector<std::pair<IEventHandler *, int>> handlers;
    long calls = 0; // onFDIsSet calls so far
    RunLoop();
    // Runs for `ms`, or until `done` answers true.
    void pump(int ms, const std::function<bool()> &done = {});
};

// An IPlugFrame that offers the run loop and refuses resizes.
struct LoopFrame {
    IPlugFrame iface;
    RunLoop *loop;
    explicit LoopFrame(RunLoop *l);
};

// This process's open descriptors.
int fd_count();
// This process's child processes: pid, state ('Z' a zombie) and name.
struct Child {
    pid_t pid;
    char state;
    std::string comm;
};
std::vector<Child> children();
// Marks this process's environment, so that whatever it starts, and what
// that starts in turn, can be found: the live processes that carry the mark,
// this one aside.
void mark_environment();
int marked_processes();

// Starts a program (no shell) with standard output and error to `log`.
pid_t spawn_logged(const std::vector<std::string> &argv, const std::string &log);
// Asks it to end (SIGTERM), kills it after `ms` and reaps it.
void stop(pid_t pid, int ms);
