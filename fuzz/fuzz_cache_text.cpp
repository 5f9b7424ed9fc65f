// The description cache's reader over any bytes: it never crashes, reads or
// refuses the whole input, and what it reads writes back to the same bytes
// (so nothing read is lost or changed on the way to the next update).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "deferred/description_cache/store/cache_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<CacheEntry> entries;
  std::string why;
  if (!ReadCacheText(text, entries, why)) {
    if (!entries.empty() || why.empty()) std::abort();
    return 0;
  }
  const std::string written = WriteCacheText(entries);
  std::vector<CacheEntry> again;
  if (!ReadCacheText(written, again, why) || again.size() != entries.size()) std::abort();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (again[i].key != entries[i].key || again[i].description != entries[i].description ||
        again[i].module != entries[i].module || again[i].checked != entries[i].checked) {
      std::abort();
    }
  }
  // Numbers may be written otherwise ("-0", "007"); entries may not differ.
  if (WriteCacheText(again) != written) std::abort();
  return 0;
}
