// The LV2 UI: the web editor in a GuiHost (WebView2 on Windows, the editor
// program on Linux), inside the host's window when it offers one. It talks to the plug-in only the LV2 way: port events
// in, port writes out, with touch notifications around each gesture.
#include "gui/gui_host.h"
#include "lv2_features.h"
#include "zfen_product.h"

#include "core/parameters.h"

#include <lv2/log/logger.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <cstdlib>
#include <cstring>
#include <new>

#define ZFEN_LV2_UI_URI ZFEN_LV2_URI "#ui"

namespace {

struct Lv2Ui {
    GuiHost *gui;
    float values[PARAM_COUNT]; // as the host last reported or the page last wrote them
    char *bundle_path;         // where "WebView2Loader.dll" and "index.html" are (UTF-8)
    char *loader_dir;          // the same in the system code page, for loading the DLL
    LV2_Log_Logger logger;
    const LV2_URID_Map *map;
    LV2UI_Write_Function write_function;
    LV2UI_Controller host_controller;
    bool has_touch;
    LV2UI_Touch touch;
};

const char *bundle_dir(void *user) { return static_cast<Lv2Ui *>(user)->bundle_path; }
const char *loader_dir(void *user) { return static_cast<Lv2Ui *>(user)->loader_dir; }
void log_line(void *user, const char *line) { lv2_log_error(&static_cast<Lv2Ui *>(user)->logger, "%s\n", line); }

void ui_free(Lv2Ui *ui)
{
    std::free(ui->loader_dir);
    std::free(ui->bundle_path);
    std::free(ui);
}

// ---- the page's edits, as port writes inside touch notifications -----------------------
// The host may clean the UI up from inside any of them: nothing of the UI is
// touched after the call.

double ui_current(void *user, uint32_t index) { return static_cast<Lv2Ui *>(user)->values[index]; }

void ui_touch(void *user, const ParamEdit *edit, bool on)
{
    const Lv2Ui *ui = static_cast<Lv2Ui *>(user);
    if (ui->has_touch)
        ui->touch.touch(ui->touch.handle, edit->desc->lv2_port, on);
}

void ui_set(void *user, const ParamEdit *edit)
{
    Lv2Ui *ui = static_cast<Lv2Ui *>(user);
    ui->values[edit->desc->index] = edit->port_value;
    if (ui->write_function)
        ui->write_function(ui->host_controller, edit->desc->lv2_port, sizeof(float), 0, &edit->port_value);
}

// ---- the UI descriptor ----------------------------------------------------------------

// [main] Blocks until the editor's browser is ready or has failed.
LV2UI_Handle ui_instantiate(const LV2UI_Descriptor *, const char *, const char *bundle_path,
                            LV2UI_Write_Function write_function, LV2UI_Controller controller, LV2UI_Widget *widget,
                            const LV2_Feature *const *features)
{
    if (widget)
        *widget = nullptr;
    void *mem = std::calloc(1, sizeof(Lv2Ui));
    const size_t len = bundle_path ? std::strlen(bundle_path) : 0;
    char *path = mem ? static_cast<char *>(std::malloc(len + 1)) : nullptr;
    if (!path) {
        std::free(mem);
        return nullptr;
    }
    if (len)
        std::memcpy(path, bundle_path, len);
    path[len] = 0;
    Lv2Ui *ui = new (mem) Lv2Ui{};
    ui->bundle_path = path;
    for (const ParamDesc &d : k_params)
        ui->values[d.index] = static_cast<float>(d.def); // until the host reports the ports

    ui->map = lv2_features_map_and_log(features, &ui->logger);

    void *parent = nullptr;
    bool embedded = false;
    const LV2UI_Resize *resize = nullptr;
    for (const LV2_Feature *const *f = features; f && *f; ++f) {
        if (std::strcmp((*f)->URI, LV2_UI__parent) == 0) {
            parent = (*f)->data;
            embedded = true;
        } else if (std::strcmp((*f)->URI, LV2_UI__resize) == 0 && (*f)->data) {
            resize = static_cast<const LV2UI_Resize *>((*f)->data);
        } else if (std::strcmp((*f)->URI, LV2_UI__touch) == 0 && (*f)->data) {
            ui->touch = *static_cast<const LV2UI_Touch *>((*f)->data);
            ui->has_touch = ui->touch.touch != nullptr;
        }
    }
    ui->write_function = write_function;
    ui->host_controller = controller;

    const GuiHostDesc desc = {"lv2", loader_dir, bundle_dir, {ui, ui_current, ui_touch, ui_set, nullptr}, log_line};
    ui->loader_dir = gui_host_path_from_utf8(ui->bundle_path);
    ui->gui = ui->loader_dir
                  ? gui_host_create(embedded, parent, &desc, nullptr, k_editor_width, k_editor_height, PARAM_COUNT)
                  : nullptr;
    if (!ui->gui) {
        ui_free(ui);
        return nullptr;
    }
    if (widget)
        *widget = gui_host_window(ui->gui);
    if (resize && resize->ui_resize)
        resize->ui_resize(resize->handle, k_editor_width, k_editor_height);
    return ui;
}

// [main] Blocks until the editor's GUI thread has ended.
void ui_cleanup(LV2UI_Handle handle)
{
    Lv2Ui *ui = static_cast<Lv2Ui *>(handle);
    gui_host_destroy(ui->gui);
    ui_free(ui);
}

// [main] May block briefly until the page message is posted. Control values are
// shown as the plug-in stores them: rounded and clamped.
void ui_port_event(LV2UI_Handle handle, uint32_t port, uint32_t size, uint32_t, const void *buffer)
{
    Lv2Ui *ui = static_cast<Lv2Ui *>(handle);
    if (!buffer || size < sizeof(float))
        return;
    float value;
    std::memcpy(&value, buffer, sizeof value);
    for (const ParamDesc &d : k_params) {
        if (d.lv2_port != port)
            continue;
        const uint32_t index = static_cast<uint32_t>(d.index);
        ui->values[index] = d.is_output ? value : param_quantize_input(index, value);
        gui_host_set_value(ui->gui, index, ui->values[index]);
    }
}

// [main] Never blocks: the editor has a message loop of its own. Non-zero once
// the user has closed a window of its own, so the host knows the UI is gone.
int ui_idle(LV2UI_Handle handle) { return gui_host_idle(static_cast<Lv2Ui *>(handle)->gui) ? 0 : 1; }

const LV2UI_Idle_Interface k_idle_interface = {ui_idle};

// [any] Never blocks.
const void *ui_extension_data(const char *uri)
{
    if (uri && std::strcmp(uri, LV2_UI__idleInterface) == 0)
        return &k_idle_interface;
    return nullptr;
}

const LV2UI_Descriptor k_ui_descriptor = {ZFEN_LV2_UI_URI, ui_instantiate, ui_cleanup, ui_port_event,
                                          ui_extension_data};

} // namespace

// [any] Never blocks.
LV2_SYMBOL_EXPORT const LV2UI_Descriptor *lv2ui_descriptor(uint32_t index)
{
    return index == 0 ? &k_ui_descriptor : nullptr;
}
