// DorvelFilterCache: turns a description cache on for the rest of a script
// (deferred/description_cache/store/description_cache.h). The cache belongs to the
// script environment that turned it on; what it learned is written when
// that environment is deleted, if not before.
#pragma once

#include <memory>

#include "avisynth_interface.h"
#include "deferred/description_cache/store/description_cache.h"

// DorvelFilterCache(string "file"): turns the cache in `file` on; without
// one, a file beside the script named after it (SCRIPT.avs.dorvelcache).
// Answers the cache file's full name, or "" when the cache is not used (its
// folder takes no files; the host's log says why).
AVSValue DORVEL_CDECL SetDorvelFilterCache(AVSValue args, void* user_data, IScriptEnvironment* env);

// The cache that `env`'s script turned on, or null.
std::shared_ptr<DescriptionCache> CacheOf(IScriptEnvironment* env);
