// What the module's parts share: the class identifiers, the version, the
// folders found at load time and the constructors the factory calls.
#pragma once
#include "vst3_abi.h"

#ifndef ZFEN_VERSION
#define ZFEN_VERSION "1.3.2.1"
#endif

// Chosen once at random; hosts store them in projects, so they never change.
// Text forms: 7FEA2148-BFB2-BFED-6F2A-FF0938CD9988 and
// B5CB37D0-9A31-FD32-BD7E-2B0FC936FE0F.
inline constexpr Vst3Uid k_processor_cid = vst3_uid(0x7FEA2148, 0xBFB2BFED, 0x6F2AFF09, 0x38CD9988);
inline constexpr Vst3Uid k_controller_cid = vst3_uid(0xB5CB37D0, 0x9A31FD32, 0xBD7E2B0F, 0xC936FE0F);

// ---- folders -----------------------------------------------------------------
// Null until the first successful load; the stored pointers, not copies.
const char *module_folder(void);
const char *module_resources_folder(void);

// [loader] Counts loads; the first computes both folders from `library_path`
// (separator '\\' on Windows, '/' elsewhere). False leaves nothing allocated.
bool module_attach(const char *library_path);
// [loader] Frees both folders when the last load is matched.
void module_detach(void);
int32_t module_load_count(void);

// Splits a library path into its folder and the parent's "Resources"
// folder. Both results are malloc'd; false (and nothing allocated) when the
// path has no separator or memory runs out. A folder without a parent keeps
// its resources inside itself.
bool module_split_folders(const char *library_path, char sep, char **folder, char **resources);

// Asks `query` for a path into a 260-byte buffer, doubling it for as long as
// the answer fills it. `query` returns the length written (0 = failure) like
// GetModuleFileNameA. Null on failure; otherwise malloc'd and NUL-terminated.
typedef uint32_t (*module_path_query_fn)(void *ctx, char *buf, uint32_t cap);
char *module_query_path(module_path_query_fn query, void *ctx);

// ---- factory and classes --------------------------------------------------------
IPluginFactory *factory_get(void);

// [main] New objects with one reference, or null without memory.
IComponent *processor_create(void);
IEditController *controller_create(void);
