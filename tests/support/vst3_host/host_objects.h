// Host-side objects of a small VST 3 host: a memory stream, parameter
// change lists, a component handler that records its calls and a host
// application. Each is a structure whose first member is its interface.
#pragma once
#include "vst3/vst3_abi.h"

#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// ---- IBStream over a byte vector ---------------------------------------------------
struct MemoryStream {
    IBStream iface;
    int32_t refs = 1;
    std::vector<uint8_t> data;
    int64_t pos = 0;
    // Faults a host may show: at most this many bytes per read or write
    // call (0 = no limit), refusing writes, failing seek or tell.
    int32_t max_io = 0;
    bool read_only = false;
    bool fail_seek = false;
    bool fail_tell = false;
    tresult write_result = kResultOk; // what a write answers after storing its bytes
    int32_t read_calls = 0;
    int32_t write_calls = 0;

    MemoryStream();
    explicit MemoryStream(std::vector<uint8_t> bytes);
    IBStream *ptr() { return &iface; }
};

// ---- IParameterChanges / IParamValueQueue --------------------------------------------
struct HostQueue {
    IParamValueQueue iface;
    ParamID id;
    std::vector<std::pair<int32_t, double>> points;
    int32_t max_points = 1 << 20;
};

struct HostChanges {
    IParameterChanges iface;
    std::deque<HostQueue> queues;
    int32_t max_queues = 1 << 20; // addParameterData answers null beyond this
    unsigned seen_csr = 0;        // MXCSR when the plug-in last counted the queues

    HostChanges();
    IParameterChanges *ptr() { return &iface; }
    HostQueue &add(ParamID id, std::vector<std::pair<int32_t, double>> points);
    const HostQueue *find(ParamID id) const;
};

// ---- IComponentHandler that records every call ------------------------------------------
struct EditCall {
    char kind; // 'b' begin, 'p' perform, 'e' end, 'r' restart
    ParamID id;
    double value;
};

struct RecordingHandler;
struct MenuFace {
    IComponentHandler3 iface;
    RecordingHandler *owner;
};

struct RecordingHandler {
    IComponentHandler iface;
    MenuFace menus{}; // answered only when offers_menu is set
    int32_t refs = 1;
    std::vector<EditCall> calls;
    std::function<void()> on_edit; // runs inside each begin, perform and end, after it is recorded
    bool offers_menu = false;
    // "menu <view> <id>" for each createContextMenu, "popup <x> <y>" for each popup.
    std::vector<std::string> menu_calls;

    RecordingHandler();
    IComponentHandler *ptr() { return &iface; }
};

// ---- IHostApplication -----------------------------------------------------------------------
struct HostApplication {
    IHostApplication iface;
    int32_t refs = 1;

    HostApplication();
    FUnknown *ptr() { return reinterpret_cast<FUnknown *>(&iface); }
};

// A mono block: one input and one output bus, one channel each.
struct MonoBlock {
    std::vector<float> in, out;
    float *in_ch[1];
    float *out_ch[1];
    AudioBusBuffers in_bus{};
    AudioBusBuffers out_bus{};
    ProcessData data{};

    explicit MonoBlock(int32_t n, float fill_in = 0.0f);
};

std::u16string u16(const char *s);
std::string narrow(const char16_t *s);
