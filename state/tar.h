// ustar archives built and parsed in memory.
#pragma once
#include "kv_map.h"

// A new buffer (free() it) holding one member per entry, in key order; null
// on failure with *size untouched.
uint8_t *tar_write(const kv_map *m, size_t *size);
// A new map whose keys and values point into `data`; null with errno set
// (EINVAL for a malformed archive, ENOMEM).
kv_map *tar_read(const uint8_t *data, size_t len);
