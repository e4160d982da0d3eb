// state_load on arbitrary bytes: either the sink sees exactly begin, three
// values that are not NaN, end; or it sees nothing at all.
#include <cmath>
#include <cstdlib>

#include "state/state_doc.h"

namespace {

struct Calls {
    int begin;
    int end;
    int set;
    bool bad;
};

void on_begin(void *c)
{
    Calls *k = static_cast<Calls *>(c);
    if (k->begin || k->set || k->end) {
        k->bad = true;
    }
    ++k->begin;
}

void on_end(void *c)
{
    Calls *k = static_cast<Calls *>(c);
    if (!k->begin || k->set != 3 || k->end) {
        k->bad = true;
    }
    ++k->end;
}

void on_set(void *c, uint64_t index, float value)
{
    Calls *k = static_cast<Calls *>(c);
    if (!k->begin || k->end || index != uint64_t(k->set) || std::isnan(value)) {
        k->bad = true;
    }
    ++k->set;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Calls calls = {0, 0, 0, false};
    state_sink sink = {&calls, on_begin, on_end, on_set};
    int r = state_load(&sink, data, size);
    bool complete = calls.begin == 1 && calls.set == 3 && calls.end == 1;
    bool none = calls.begin == 0 && calls.set == 0 && calls.end == 0;
    if (calls.bad || (r == 0 && !complete) || (r != 0 && !none)) {
        abort();
    }
    return 0;
}
