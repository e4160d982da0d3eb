// Writes the blob an LV2 instance at 48 kHz with the default values saves,
// for checks by outside tools and as a fuzzing seed.
#include <cstdio>
#include <cstdlib>

#include "core/parameters.h"
#include "state/state_doc.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
        return 2;
    }
    size_t size = 0;
    uint8_t *blob = state_save("lv2", 48000.0f, param_default(PARAM_CUTOFF), param_default(PARAM_LFO_AMT),
                               param_default(PARAM_LFO_SPEED), &size);
    if (!blob) {
        fprintf(stderr, "state_save failed\n");
        return 1;
    }
    FILE *f = fopen(argv[1], "wb");
    bool ok = f && fwrite(blob, 1, size, f) == size;
    ok = (f && fclose(f) == 0) && ok;
    free(blob);
    if (!ok) {
        fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
