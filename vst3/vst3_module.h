// What the module's parts share: the class identifiers, the version, the
// folders found at load time and the constructors the factory calls.
#pragma once
#include "vst3_abi.h"
#include "zfen_product.h"

// Hosts store them in projects, so they never change.
inline constexpr Vst3Uid k_processor_cid = vst3_uid(ZFEN_PROCESSOR_CID_WORDS);
inline constexpr Vst3Uid k_controller_cid = vst3_uid(ZFEN_CONTROLLER_CID_WORDS);

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
