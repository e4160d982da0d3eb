// The page-message parser on arbitrary text: whatever arrives, the cache is
// touched only inside its bounds, edits are forwarded only for valid indices
// with the value just cached, and "g" answers with one message per index.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gui/gui_protocol.h"

namespace {

constexpr size_t k_count = 4;

struct Page {
    float values[k_count + 2]; // a guard entry on each side
    size_t posted = 0;
    GuiDispatch d{};
};

Page *page_of(void *ctx) { return static_cast<Page *>(ctx); }

void check_edit(void *ctx, GuiEditStep step, uint32_t index, float value)
{
    Page *p = page_of(ctx);
    if (step > GUI_EDIT_END) {
        std::abort();
    }
    if (index >= k_count) {
        std::abort();
    }
    // The value is cached before it is forwarded.
    if (std::memcmp(&p->d.values[index], &value, sizeof value) != 0) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The handler hands the parser NUL-terminated text.
    std::vector<char> text(data, data + size);
    text.push_back(0);
    Page p;
    for (float &v : p.values) {
        v = -1.0f;
    }
    p.d.ctx = &p;
    p.d.edit = check_edit;
    p.d.on_text = [](void *, const char *t) {
        if (std::strlen(t) > (1u << 20)) {
            std::abort();
        }
    };
    p.d.values = p.values + 1;
    p.d.value_count = k_count;
    p.d.post = [](void *ctx, const char *) { ++page_of(ctx)->posted; };
    gui_protocol_parse(&p.d, text.data());
    if (p.values[0] != -1.0f || p.values[k_count + 1] != -1.0f) {
        std::abort();
    }
    if (text[0] == 'g' && p.posted != k_count) {
        std::abort();
    }
    return 0;
}
