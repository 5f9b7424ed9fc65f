#include "open_filters.h"

namespace {
// Created when the module loads; its storage is freed when the module
// unloads. Filters still alive then are not touched.
OpenFilters openFilters;
}  // namespace

OpenFilters& OpenFilters::instance() { return openFilters; }

DorvelFilter* OpenFilters::VictimForNextOpening() const {
  if (filters_.empty()) return nullptr;
  const auto open = static_cast<uint32_t>(filters_.size());
  const auto limit = static_cast<uint32_t>(limit_);
  return open < limit ? nullptr : filters_.front();
}

void SetOpenLimit(int32_t limit) {
  OpenFilters& open = OpenFilters::instance();
  std::lock_guard<std::mutex> lock(open.mutex());
  open.SetLimit(limit);
}
