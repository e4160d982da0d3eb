// A host for the end-to-end test, run under Wine by tests/browser/e2e.test.js:
//   e2e_host.exe vst3|lv2 <port>
// opens the plug-in's editor from the test bundle in a window of its own, turns
// the stand-in loader's bridge to 127.0.0.1:<port> on (a real browser shows
// the page at the other end), then takes one command a line from stdin:
//   set-param <id> <normalised>   VST3: the host's setParamNormalized
//   set-param <port> <value>      LV2: port_event on a control port
//   run-lfo <blocks>              the real processor with LFO Amount 15; each
//                                 Modulated Cutoff output goes to the editor
//   quit
// and reports what the plug-in does as JSON lines on stdout. It stops by
// itself on quit, at the end of stdin, or after k_lifetime_ms.
#include "core/parameters.h"
#include "lv2_support.h"
#include "standin_api.h"
#include "vst3_host/vst3_rig.h"
#include "zfen_product.h"

#include <lv2/ui/ui.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const int k_lifetime_ms = 240000;
const int k_open_ms = 20000;
const int k_block = 480;
const double k_rate = 48000.0;

void emit(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// A JSON string's content: quotes, backslashes and control characters escaped.
std::string json_text(const std::string &s)
{
    std::string out;
    for (char ch : s) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += ch;
        } else if (static_cast<unsigned char>(ch) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(ch));
            out += esc;
        } else {
            out += ch;
        }
    }
    return out;
}

void emit_error(const std::string &what) { emit("{\"event\":\"error\",\"message\":\"%s\"}", json_text(what).c_str()); }

// Lines from stdin, read on a thread of their own so the message loop runs on;
// the end of input reads as "quit".
struct Commands {
    std::mutex lock;
    std::deque<std::string> lines;

    static DWORD WINAPI reader(LPVOID self)
    {
        auto *c = static_cast<Commands *>(self);
        HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
        std::string pending;
        char buffer[1024];
        DWORD n = 0;
        while (ReadFile(in, buffer, sizeof buffer, &n, nullptr) && n > 0) {
            pending.append(buffer, n);
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                std::lock_guard<std::mutex> hold(c->lock);
                c->lines.push_back(line);
            }
        }
        std::lock_guard<std::mutex> hold(c->lock);
        c->lines.push_back("quit");
        return 0;
    }
    bool next(std::string *line)
    {
        std::lock_guard<std::mutex> hold(lock);
        if (lines.empty())
            return false;
        *line = lines.front();
        lines.pop_front();
        return true;
    }
};

void pump()
{
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 2, QS_ALLINPUT);
}

HWND host_window(const char *title)
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.lpszClassName = "zfen-e2e-host";
    RegisterClassA(&wc);
    return CreateWindowExA(0, "zfen-e2e-host", title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 900, 700, nullptr,
                           nullptr, nullptr, nullptr);
}

// The stand-in's page loaded, then the bridge on: the browser's page talks to the editor from here.
bool bridge_on(StandinApi &api, int port)
{
    const auto until = Clock::now() + std::chrono::milliseconds(k_open_ms);
    while (api.standin_current_page(nullptr, 0) < 0) {
        if (Clock::now() > until) {
            emit_error("the editor loaded no page");
            return false;
        }
        pump();
    }
    HRESULT hr = api.standin_bridge(port);
    if (FAILED(hr)) {
        char text[64];
        std::snprintf(text, sizeof text, "bridge to port %d failed: 0x%08lx", port, static_cast<unsigned long>(hr));
        emit_error(text);
        return false;
    }
    return true;
}

// What the stand-in saw go wrong, for the test to check, once the closed
// editor's browser processes have ended (a moment after Close).
void report_standin(StandinApi &api)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((api.standin_browsers_running() != 0 || api.standin_live_objects() != 0) &&
           std::chrono::steady_clock::now() < until)
        pump();
    for (const std::string &m : api.misuses())
        emit("{\"event\":\"misuse\",\"what\":\"%s\"}", json_text(m).c_str());
    emit("{\"event\":\"closed\",\"live\":%ld}", api.standin_live_objects());
}

// Runs commands until quit or the lifetime ends; handle(words) does one command
// and poll() reports what happened since.
template <typename Handle, typename Poll> int command_loop(Handle handle, Poll poll)
{
    Commands commands;
    HANDLE reader = CreateThread(nullptr, 0, Commands::reader, &commands, 0, nullptr);
    if (!reader) {
        emit_error("no stdin reader");
        return 1;
    }
    CloseHandle(reader);
    const auto until = Clock::now() + std::chrono::milliseconds(k_lifetime_ms);
    for (;;) {
        pump();
        poll();
        if (Clock::now() > until) {
            emit_error("lifetime over");
            return 1;
        }
        std::string line;
        if (!commands.next(&line))
            continue;
        std::istringstream words(line);
        std::string verb;
        words >> verb;
        if (verb == "quit")
            return 0;
        if (!handle(verb, words))
            emit_error("unknown command: " + line);
        poll();
    }
}

int run_vst3(int port)
{
    const ParamID mod_id = k_params[PARAM_MOD_CUTOFF].vst3_id;
    const ParamID amt_id = k_params[PARAM_LFO_AMT].vst3_id;
    Vst3Rig rig;
    if (!rig.load(ZFEN_VST3_TEST_BUNDLE)) {
        emit_error("load: " + rig.error());
        return 1;
    }
    HMODULE standin =
        LoadLibraryA((host_path(ZFEN_VST3_TEST_BUNDLE) + "\\Contents\\x86_64-win\\WebView2Loader.dll").c_str());
    StandinApi api(standin);
    if (!api.ok) {
        emit_error("no stand-in loader in the test bundle");
        return 1;
    }
    api.standin_reset();
    HWND parent = host_window("e2e vst3 host");
    RecordingHandler handler;
    IEditController *ctrl = rig.make_controller();
    if (!parent || !ctrl || ctrl->vtbl->setComponentHandler(ctrl, handler.ptr()) != kResultOk) {
        emit_error("no controller");
        return 1;
    }
    IPlugView *view = ctrl->vtbl->createView(ctrl, "editor");
    if (!view || view->vtbl->attached(view, parent, "HWND") != kResultOk) {
        emit_error("the editor did not open");
        return 1;
    }
    if (!bridge_on(api, port))
        return 1;
    emit("{\"event\":\"ready\",\"format\":\"vst3\"}");

    IComponent *proc = nullptr;
    size_t reported = 0;
    auto poll = [&] {
        for (; reported < handler.calls.size(); ++reported) {
            const EditCall &c = handler.calls[reported];
            if (c.kind == 'b')
                emit("{\"event\":\"beginEdit\",\"id\":%u}", c.id);
            else if (c.kind == 'p')
                emit("{\"event\":\"performEdit\",\"id\":%u,\"value\":%.17g}", c.id, c.value);
            else if (c.kind == 'e')
                emit("{\"event\":\"endEdit\",\"id\":%u}", c.id);
            else
                emit("{\"event\":\"restartComponent\"}");
        }
    };
    auto handle = [&](const std::string &verb, std::istringstream &words) {
        if (verb == "set-param") {
            unsigned long id = 0;
            double value = 0;
            words >> id >> value;
            tresult r = ctrl->vtbl->setParamNormalized(ctrl, static_cast<ParamID>(id), value);
            emit("{\"event\":\"setParam\",\"id\":%lu,\"value\":%.17g,\"result\":%d}", id, value, r);
            return true;
        }
        if (verb == "run-lfo") {
            int blocks = 0;
            words >> blocks;
            if (!proc) {
                proc = rig.make_processor();
                if (!proc) {
                    emit_error("no processor");
                    return true;
                }
                rig.activate(k_rate);
            }
            // LFO Amount 15 from the first sample; each output point goes to the controller, as hosts do.
            HostChanges in;
            in.add(amt_id, {{0, 1.0}});
            int points = 0;
            for (int b = 0; b < blocks; ++b) {
                MonoBlock block(k_block);
                HostChanges out;
                if (vst3_run(proc, block, b == 0 ? &in : nullptr, &out) != kResultOk) {
                    emit_error("process failed");
                    break;
                }
                if (const HostQueue *q = out.find(mod_id))
                    for (const auto &p : q->points) {
                        ++points;
                        ctrl->vtbl->setParamNormalized(ctrl, mod_id, p.second);
                        emit("{\"event\":\"modCutoff\",\"value\":%.17g}", p.second);
                    }
                pump();
            }
            emit("{\"event\":\"ran\",\"blocks\":%d,\"points\":%d}", blocks, points);
            return true;
        }
        return false;
    };
    int code = command_loop(handle, poll);
    view->vtbl->removed(view);
    view->vtbl->release(view);
    rig.release_all();
    DestroyWindow(parent);
    report_standin(api);
    return code;
}

// What the LV2 host hears from the UI.
struct Lv2Host {
    float controls[PARAM_COUNT] = {param_default(PARAM_CUTOFF), param_default(PARAM_LFO_AMT),
                                   param_default(PARAM_LFO_SPEED), param_default(PARAM_MOD_CUTOFF)};
    static void write(LV2UI_Controller c, uint32_t port, uint32_t size, uint32_t protocol, const void *buffer)
    {
        float v = 0;
        if (size == sizeof v)
            std::memcpy(&v, buffer, sizeof v);
        emit("{\"event\":\"write\",\"port\":%u,\"value\":%.9g,\"size\":%u,\"protocol\":%u}", port,
             static_cast<double>(v), size, protocol);
        auto *host = static_cast<Lv2Host *>(c);
        if (size == sizeof v && protocol == 0 && port >= 2 && port < 2 + PARAM_INPUT_COUNT)
            host->controls[port - 2] = v;
    }
    static void touch(LV2UI_Feature_Handle, uint32_t port, bool grabbed)
    {
        emit("{\"event\":\"touch\",\"port\":%u,\"grabbed\":%s}", port, grabbed ? "true" : "false");
    }
};

int run_lv2(int port)
{
    const std::string bundle = host_path(ZFEN_LV2_TEST_BUNDLE) + "\\";
    HMODULE binary = LoadLibraryA((bundle + ZFEN_PLUGIN_ID ".dll").c_str());
    auto ui_entry = reinterpret_cast<const LV2UI_Descriptor *(*)(uint32_t)>(
        reinterpret_cast<void *>(GetProcAddress(binary, "lv2ui_descriptor")));
    auto dsp_entry = reinterpret_cast<const LV2_Descriptor *(*)(uint32_t)>(
        reinterpret_cast<void *>(GetProcAddress(binary, "lv2_descriptor")));
    const LV2UI_Descriptor *ui_desc = ui_entry ? ui_entry(0) : nullptr;
    const LV2_Descriptor *dsp_desc = dsp_entry ? dsp_entry(0) : nullptr;
    if (!ui_desc || !dsp_desc) {
        emit_error("no LV2 descriptors");
        return 1;
    }
    HMODULE standin = LoadLibraryA((bundle + "WebView2Loader.dll").c_str());
    StandinApi api(standin);
    if (!api.ok) {
        emit_error("no stand-in loader in the test bundle");
        return 1;
    }
    api.standin_reset();
    HWND parent = host_window("e2e lv2 host");
    Lv2Host host;
    Lv2Features lv2;
    LV2UI_Touch touch{&host, Lv2Host::touch};
    LV2_Feature parent_f{LV2_UI__parent, parent};
    LV2_Feature touch_f{LV2_UI__touch, &touch};
    const LV2_Feature *features[] = {&lv2.map_f, &lv2.log_f, &parent_f, &touch_f, nullptr};
    LV2UI_Widget widget = nullptr;
    LV2UI_Handle ui =
        ui_desc->instantiate(ui_desc, ZFEN_LV2_URI, bundle.c_str(), Lv2Host::write, &host, &widget, features);
    if (!parent || !ui) {
        emit_error("the UI did not open");
        return 1;
    }
    // Every control port's value once, as hosts do after instantiating a UI.
    for (uint32_t i = 0; i < PARAM_COUNT; ++i)
        ui_desc->port_event(ui, k_params[i].lv2_port, sizeof(float), 0, &host.controls[i]);
    if (!bridge_on(api, port))
        return 1;
    emit("{\"event\":\"ready\",\"format\":\"lv2\"}");

    LV2_Handle dsp = nullptr;
    std::vector<float> in(k_block, 0.0f), out(k_block, 0.0f);
    auto handle = [&](const std::string &verb, std::istringstream &words) {
        if (verb == "set-param") {
            uint32_t index = 0;
            float value = 0;
            words >> index >> value;
            ui_desc->port_event(ui, index, sizeof value, 0, &value);
            if (index >= 2 && index < 2 + PARAM_INPUT_COUNT)
                host.controls[index - 2] = value;
            emit("{\"event\":\"portEvent\",\"port\":%u,\"value\":%.9g}", index, static_cast<double>(value));
            return true;
        }
        if (verb == "run-lfo") {
            int blocks = 0;
            words >> blocks;
            if (!dsp) {
                dsp = dsp_desc->instantiate(dsp_desc, k_rate, bundle.c_str(), lv2.features);
                if (!dsp) {
                    emit_error("no LV2 instance");
                    return true;
                }
                dsp_desc->connect_port(dsp, 0, in.data());
                dsp_desc->connect_port(dsp, 1, out.data());
                for (uint32_t i = 0; i < PARAM_COUNT; ++i)
                    dsp_desc->connect_port(dsp, k_params[i].lv2_port, &host.controls[i]);
                dsp_desc->activate(dsp);
            }
            host.controls[PARAM_LFO_AMT] = 15.0f;
            for (int b = 0; b < blocks; ++b) {
                dsp_desc->run(dsp, k_block);
                // The output port's value after each cycle, as hosts pass it on.
                const float mod = host.controls[PARAM_MOD_CUTOFF];
                ui_desc->port_event(ui, k_params[PARAM_MOD_CUTOFF].lv2_port, sizeof mod, 0, &mod);
                emit("{\"event\":\"modCutoff\",\"value\":%.9g}", static_cast<double>(mod));
                pump();
            }
            emit("{\"event\":\"ran\",\"blocks\":%d}", blocks);
            return true;
        }
        return false;
    };
    int code = command_loop(handle, [] {});
    ui_desc->cleanup(ui);
    if (dsp) {
        if (dsp_desc->deactivate) // optional in LV2
            dsp_desc->deactivate(dsp);
        dsp_desc->cleanup(dsp);
    }
    DestroyWindow(parent);
    report_standin(api);
    return code;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: e2e_host vst3|lv2 <bridge-port>\n");
        return 2;
    }
    const std::string format = argv[1];
    const int port = std::atoi(argv[2]);
    int code = format == "vst3" ? run_vst3(port) : format == "lv2" ? run_lv2(port) : 2;
    emit("{\"event\":\"exit\",\"code\":%d}", code);
    // Ends the stdin reader too, wherever it waits.
    ExitProcess(static_cast<UINT>(code));
}
