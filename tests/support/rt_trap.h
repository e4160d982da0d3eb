// Traps what an audio thread must never do: allocate, free, lock, wait,
// sleep or call the system. rt_trap.cpp defines the C library's and the C++
// runtime's entry points in the test executable itself, so every call from
// the plug-in's code lands there first; while the calling thread is armed,
// the call's name is recorded, and the call is then passed on to the real one.
#pragma once
#include <string>

namespace rt_trap {

constexpr int kMaxHits = 256;

// [any] Arms or disarms the trap for the calling thread only.
void arm();
void disarm();
bool armed();

// [any, none armed] The calls recorded since the last clear, in order; the
// count goes on past kMaxHits, the names stop there.
int hit_count();
const char *hit(int i);
void clear();
// The recorded names joined by ", " ("" when none); call unarmed.
std::string names();

// Arms the calling thread for one scope.
struct Armed {
    Armed() { arm(); }
    ~Armed() { disarm(); }
    Armed(const Armed &) = delete;
    Armed &operator=(const Armed &) = delete;
};

} // namespace rt_trap
