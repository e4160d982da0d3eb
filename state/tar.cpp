// ustar writer and reader. Octal fields are formatted by hand so that every
// platform's C library writes the same bytes.
#include "tar.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t k_block = 512;
constexpr size_t k_name_max = 99;
// Eleven octal digits in the size field.
constexpr uint64_t k_write_size_limit = uint64_t(1) << 33;
constexpr uint64_t k_read_size_limit = uint64_t(1) << 31;

constexpr size_t k_off_mode = 100;
constexpr size_t k_off_uid = 108;
constexpr size_t k_off_gid = 116;
constexpr size_t k_off_size = 124;
constexpr size_t k_off_mtime = 136;
constexpr size_t k_off_chksum = 148;
constexpr size_t k_off_typeflag = 156;
constexpr size_t k_off_magic = 257;
constexpr size_t k_off_version = 263;

uint64_t round_up(uint64_t n) { return (n + (k_block - 1)) / k_block * k_block; }

// Exactly `digits` octal digits, leading zeros; the caller ensures v fits.
void put_octal(uint8_t *dst, uint64_t v, size_t digits)
{
    for (size_t i = digits; i > 0; --i) {
        dst[i - 1] = uint8_t('0' + (v & 7));
        v >>= 3;
    }
}

void put_text(uint8_t *dst, const char *s) { memcpy(dst, s, strlen(s)); }

struct WriteWalk {
    uint8_t *buf;
    size_t size;
    int error;
};

void write_header(uint8_t *h, const uint8_t *name, size_t name_len, uint64_t data_len)
{
    memcpy(h, name, name_len);
    put_text(h + k_off_mode, "0000644");
    put_text(h + k_off_uid, "0000000");
    put_text(h + k_off_gid, "0000000");
    put_octal(h + k_off_size, data_len, 11);
    put_text(h + k_off_mtime, "00000000000");
    memset(h + k_off_chksum, ' ', 8);
    h[k_off_typeflag] = '0';
    put_text(h + k_off_magic, "ustar");
    put_text(h + k_off_version, "00");

    unsigned sum = 0;
    for (size_t i = 0; i < k_block; ++i) {
        sum += h[i];
    }
    // At most 99 bytes of 0xff in the name plus the fixed fields stay below
    // 8^5, so five digits always hold the sum. Then NUL, NUL, and the last
    // space kept: the layout traditional tar writers produce.
    put_octal(h + k_off_chksum, sum, 5);
    h[k_off_chksum + 5] = 0;
    h[k_off_chksum + 6] = 0;
}

int append_member(const uint8_t *key, uint64_t key_len, const uint8_t *value, uint64_t value_len, void *ctx)
{
    WriteWalk *w = static_cast<WriteWalk *>(ctx);
    // An empty name, or one holding a NUL, would read back as a different
    // member or as the end of the archive, losing everything after it.
    bool bad_name = key_len == 0 || key_len > k_name_max || memchr(key, 0, size_t(key_len));
    if (bad_name || value_len >= k_write_size_limit) {
        free(w->buf);
        w->buf = nullptr;
        w->error = EINVAL;
        return 1;
    }
    uint64_t member = k_block + round_up(value_len);
    uint8_t *grown = nullptr;
    if (member <= SIZE_MAX - w->size) {
        grown = static_cast<uint8_t *>(realloc(w->buf, w->size + size_t(member)));
    }
    if (!grown) {
        free(w->buf);
        w->buf = nullptr;
        w->error = ENOMEM;
        return 1;
    }
    w->buf = grown;
    uint8_t *h = grown + w->size;
    memset(h, 0, size_t(member));
    write_header(h, key, size_t(key_len), value_len);
    if (value_len) {
        memcpy(h + k_block, value, size_t(value_len));
    }
    w->size += size_t(member);
    return 0;
}

} // namespace

uint8_t *tar_write(const kv_map *m, size_t *size)
{
    WriteWalk w = {nullptr, 0, 0};
    if (kv_map_for_each(m, append_member, &w) != 0) {
        return nullptr;
    }
    const size_t end_blocks = 2 * k_block;
    uint8_t *grown = nullptr;
    if (w.size <= SIZE_MAX - end_blocks) {
        grown = static_cast<uint8_t *>(realloc(w.buf, w.size + end_blocks));
    }
    if (!grown) {
        free(w.buf);
        return nullptr;
    }
    memset(grown + w.size, 0, end_blocks);
    *size = w.size + end_blocks;
    return grown;
}

kv_map *tar_read(const uint8_t *data, size_t len)
{
    if (!data && len) {
        errno = EINVAL;
        return nullptr;
    }
    kv_map *m = kv_map_new();
    if (!m) {
        errno = ENOMEM;
        return nullptr;
    }
    int err = 0;
    size_t off = 0;
    while (off < len) {
        const uint8_t *h = data + off;
        if (h[0] == 0) {
            break; // end of archive; whatever follows is ignored
        }
        if (len - off < k_block) {
            err = EINVAL; // a header cut short
            break;
        }
        const void *nul = memchr(h, 0, 100);
        size_t name_len = nul ? size_t(static_cast<const uint8_t *>(nul) - h) : 100;

        if (h[k_off_size + 11] != 0) {
            err = EINVAL;
            break;
        }
        uint64_t data_len = 0;
        for (size_t i = 0; i < 11; ++i) {
            uint8_t c = h[k_off_size + i];
            if (c < '0' || c > '7') {
                err = EINVAL;
                break;
            }
            data_len = data_len * 8 + uint64_t(c - '0');
        }
        if (err) {
            break;
        }
        size_t room = len - off - k_block;
        if (data_len >= k_read_size_limit || data_len > room) {
            err = EINVAL; // too large, or the data runs past the input
            break;
        }
        if (kv_map_insert(m, h, name_len, h + k_block, data_len) != 0) {
            err = ENOMEM;
            break;
        }
        // The padding of the last member may be missing; the walk just ends.
        uint64_t padded = round_up(data_len);
        if (padded >= room) {
            break;
        }
        off += k_block + size_t(padded);
    }
    if (err) {
        kv_map_free(m);
        errno = err;
        return nullptr;
    }
    return m;
}
