// Whole-blob transfers over a host's IBStream, in chunks the int32 byte
// counts can carry.
#pragma once
#include "vst3_abi.h"

// A saved state is 5632 bytes; anything past this is not ours.
constexpr int64_t k_stream_max_bytes = int64_t(64) << 20;

// [main] Reads the whole stream from position 0, whatever the current one.
// On success *data is malloc'd (null when the stream is empty).
bool stream_read_all(IBStream *s, uint8_t **data, size_t *len);
// [main] Writes at the current position; true only when every byte went out.
bool stream_write_all(IBStream *s, const uint8_t *data, size_t len);
