#include "vst3_stream.h"

#include <cstdlib>

namespace {
constexpr size_t k_chunk = 2147483647u;
}

bool stream_read_all(IBStream *s, uint8_t **data, size_t *len)
{
    *data = nullptr;
    *len = 0;
    if (!s)
        return false;
    int64_t size = 0;
    if (s->vtbl->seek(s, 0, kIBSeekEnd, nullptr) != kResultOk || s->vtbl->tell(s, &size) != kResultOk ||
        s->vtbl->seek(s, 0, kIBSeekSet, nullptr) != kResultOk)
        return false;
    if (size <= 0)
        return true;
    if (size > k_stream_max_bytes)
        return false;
    size_t total = static_cast<size_t>(size);
    uint8_t *buf = static_cast<uint8_t *>(std::malloc(total));
    if (!buf)
        return false;
    size_t done = 0;
    while (done < total) {
        size_t want = total - done < k_chunk ? total - done : k_chunk;
        int32_t got = 0;
        s->vtbl->read(s, buf + done, static_cast<int32_t>(want), &got);
        // A host reporting more than it was asked for is as broken as a short read.
        if (got != static_cast<int32_t>(want)) {
            std::free(buf);
            return false;
        }
        done += want;
    }
    *data = buf;
    *len = total;
    return true;
}

bool stream_write_all(IBStream *s, const uint8_t *data, size_t len)
{
    if (!s)
        return false;
    size_t done = 0;
    while (done < len) {
        size_t want = len - done < k_chunk ? len - done : k_chunk;
        int32_t put = 0;
        // Only the reported count matters, not the call's result code.
        s->vtbl->write(s, const_cast<uint8_t *>(data + done), static_cast<int32_t>(want), &put);
        if (put != static_cast<int32_t>(want))
            return false;
        done += want;
    }
    return true;
}
