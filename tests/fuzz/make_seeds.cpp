// Writes the fuzzing seeds into the directory given: a saved blob, the
// "dsp.tar" inside it and its two record members, all cut from a real save.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "state/state_doc.h"
#include "state/tar.h"

namespace {

bool write_file(const std::string &path, const uint8_t *data, uint64_t size)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) {
        return false;
    }
    bool ok = fwrite(data, 1, size_t(size), f) == size;
    return fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    size_t size = 0;
    uint8_t *blob = state_save("vst3", 44100.0f, 3.0f, 12.0f, 0.0f, &size);
    kv_map *outer = blob ? tar_read(blob, size) : nullptr;
    uint64_t inner_len = 0;
    const uint8_t *inner_data = outer ? kv_map_find(outer, "dsp.tar", 7, &inner_len) : nullptr;
    kv_map *inner = inner_data ? tar_read(inner_data, size_t(inner_len)) : nullptr;
    uint64_t info_len = 0, params_len = 0;
    const uint8_t *info = inner ? kv_map_find(inner, "info.map", 8, &info_len) : nullptr;
    const uint8_t *params = inner ? kv_map_find(inner, "parameters.map", 14, &params_len) : nullptr;

    bool ok = info && params && write_file(dir + "/blob", blob, size) &&
              write_file(dir + "/dsp.tar", inner_data, inner_len) && write_file(dir + "/info.map", info, info_len) &&
              write_file(dir + "/parameters.map", params, params_len);
    // Page messages, one of each kind.
    const char *const messages[] = {"b 00000000 41200000", "s 3 0", "e 0x2 +40e00000", "g", "m hello"};
    for (size_t i = 0; ok && i < sizeof messages / sizeof messages[0]; ++i) {
        ok = write_file(dir + "/message-" + std::to_string(i), reinterpret_cast<const uint8_t *>(messages[i]),
                        strlen(messages[i]));
    }
    kv_map_free(inner);
    kv_map_free(outer);
    free(blob);
    if (!ok) {
        fprintf(stderr, "cannot write the seeds to %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
