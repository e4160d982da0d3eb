// What the GUI tests under Wine share: page messages as the page writes them,
// the creator thread's message loop, and a page message delivered through
// the stand-in browser while this thread keeps serving the edits it causes.
#pragma once
#include "standin_api.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <functional>
#include <string>
#include <thread>

// A plug-in host's window for an editor to sit in, on this thread.
inline HWND make_host_window(int width, int height, bool visible = true)
{
    static const char k_class[] = "zfen-test-host-window";
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.lpszClassName = k_class;
    RegisterClassA(&wc); // fails harmlessly once registered
    return CreateWindowExA(0, k_class, "host", WS_OVERLAPPEDWINDOW | (visible ? WS_VISIBLE : 0), 0, 0, width, height,
                           nullptr, nullptr, nullptr, nullptr);
}

// "s %08x %08x": a parameter index and a plain value's float bits.
inline std::wstring value_message(uint32_t index, float value)
{
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    wchar_t buf[32];
    swprintf(buf, 32, L"s %08x %08x", index, bits);
    return buf;
}

// The same with the page's gesture letter: 'b', 's' or 'e'.
inline std::wstring edit_message(char kind, uint32_t index, float value)
{
    std::wstring m = value_message(index, value);
    m[0] = static_cast<wchar_t>(kind);
    return m;
}

// Runs this thread's message loop (edits arrive through it) until `done`
// holds or `ms` have passed; false on time-out.
inline bool pump_until(const std::function<bool()> &done, int ms = 5000)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&m);
            DispatchMessageA(&m);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 2, QS_ALLINPUT);
    }
    return true;
}

// Every closed editor's browser processes have ended and the editor gave
// back every stand-in object: by then its user data folder is gone, or left
// for a later editor's sweep.
inline bool browsers_gone(const StandinApi &api, int ms = 5000)
{
    return pump_until([&] { return api.standin_browsers_running() == 0 && api.standin_live_objects() == 0; }, ms);
}

// The page posts a string; its edits are served by this thread meanwhile.
inline HRESULT page_posts_serving(const StandinApi &api, const std::wstring &text)
{
    HRESULT r = E_FAIL;
    bool done = false;
    std::thread t([&] {
        r = api.standin_page_posts_string(text.c_str());
        done = true;
    });
    pump_until([&] { return done; });
    t.join();
    return r;
}
