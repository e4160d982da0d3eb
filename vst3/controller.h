// The edit controller: IEditController, IMidiMapping and IConnectionPoint
// on one object.
#pragma once
#include "../core/parameters.h"
#include "vst3_abi.h"

struct EditorView;

struct Vst3Controller {
    // The object's address is its IEditController.
    IEditController edit;
    IMidiMapping midi;
    IConnectionPoint connection;
    int32_t ref_count;          // plain: every call comes on the host's main thread
    FUnknown *host_context;     // not counted; null = not initialized
    double values[PARAM_COUNT]; // plain values in table order
    IComponentHandler *handler; // one reference held
    EditorView **views;         // null entries are free slots
    size_t view_count;          // entries, free slots included
};

Vst3Controller *controller_from_edit(IEditController *e);

// [main] Quantises `value` for index (NaN keeps the stored value), stores it
// and returns the stored plain value. Index must be below PARAM_COUNT.
double controller_store(Vst3Controller *c, uint32_t index, double value);
// [main] The component handler, or null.
IComponentHandler *controller_handler(const Vst3Controller *c);
// [main] Clears the view's entry; the list is not compacted.
void controller_forget_view(Vst3Controller *c, const EditorView *v);
