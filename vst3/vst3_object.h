// What every counted VST3 object of this module shares: queryInterface over a
// table of interface ids and offsets, plain reference counting, the no-op
// connection point and the fixed-size string copies.
#pragma once
#include "vst3_abi.h"

#include <cstddef>

// One interface an object answers to: its id and where its table pointer
// sits inside the object. FUnknown and IPluginBase need no row: they give the
// object's address, which is its first interface.
struct Vst3InterfaceRow {
    const Vst3Uid *iid;
    size_t offset;
};

struct Vst3Class {
    const Vst3InterfaceRow *rows;
    size_t row_count;
    bool is_plugin_base;     // answers IPluginBase
    size_t ref_count_offset; // of the object's int32_t reference count
    void (*destroy)(void *object);
};

// [main] The interface for `iid` with one reference added, or null and
// kNoInterface. Reference counts are plain: hosts make these calls on one thread.
tresult vst3_object_query(void *object, const Vst3Class *cls, const char *iid, void **obj);
uint32_t vst3_object_add_ref(void *object, const Vst3Class *cls);
// [main] At zero the class's destroy frees the object.
uint32_t vst3_object_release(void *object, const Vst3Class *cls);

// The three FUnknown slots of interface `Iface` found `Offset` bytes into an
// object of class `Cls`.
template <typename Iface, size_t Offset, const Vst3Class *Cls> struct Vst3Unknown {
    static void *object(Iface *self) { return reinterpret_cast<char *>(self) - Offset; }
    // [main] Never blocks.
    static tresult query_interface(Iface *self, const char *iid, void **obj)
    {
        return vst3_object_query(object(self), Cls, iid, obj);
    }
    // [main] Never blocks.
    static uint32_t add_ref(Iface *self) { return vst3_object_add_ref(object(self), Cls); }
    // [main] Never blocks.
    static uint32_t release(Iface *self) { return vst3_object_release(object(self), Cls); }
};

// [main] IPluginBase: initialize keeps the host context (not counted) and
// answers false when one is already kept; terminate forgets it.
bool vst3_base_initialize(FUnknown **kept, FUnknown *context);
tresult vst3_base_terminate(FUnknown **kept);

// [main] IConnectionPoint for objects that accept a peer and ignore every
// message: connect answers kInvalidArgument for null, kResultOk otherwise.
tresult vst3_conn_connect(IConnectionPoint *self, IConnectionPoint *other);
tresult vst3_conn_disconnect(IConnectionPoint *self, IConnectionPoint *other);
tresult vst3_conn_notify(IConnectionPoint *self, IMessage *message);

template <typename Unknown>
inline constexpr IConnectionPointVtbl vst3_noop_connection_vtbl = {
    Unknown::query_interface, Unknown::add_ref,     Unknown::release,
    vst3_conn_connect,        vst3_conn_disconnect, vst3_conn_notify,
};

// Copies and NUL-terminates into a fixed field, cutting what does not fit;
// the rest of the field is zeroed, so repeated calls give identical records.
void vst3_copy8(char *dst, size_t cap, const char *src);
// The same, widening each byte to UTF-16 (the texts are ASCII).
void vst3_copy16(char16 *dst, size_t cap, const char *src);

template <size_t N> void vst3_copy(char (&dst)[N], const char *src) { vst3_copy8(dst, N, src); }
template <size_t N> void vst3_copy(char16 (&dst)[N], const char *src) { vst3_copy16(dst, N, src); }
