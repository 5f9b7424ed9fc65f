#include "open_filters.h"

#include "deferred/dorvel_filter.h"
#include "deferred/process_wide.h"

OpenFilters& OpenFilters::instance() { return ProcessWide<OpenFilters>(); }

OpenListLink& OpenFilters::LinkOf(DorvelFilter* filter) { return filter->link; }

DorvelFilter* OpenFilters::VictimForNextOpening() const {
  if (size_ == 0) return nullptr;
  const auto open = static_cast<uint32_t>(size_);
  const auto limit = static_cast<uint32_t>(limit_);
  return open < limit ? nullptr : oldest_;
}

bool OpenFilters::OverLimit() const {
  const auto open = static_cast<uint32_t>(size_);
  const auto limit = static_cast<uint32_t>(limit_);
  return open > (limit == 0 ? 1 : limit);
}

void OpenFilters::Append(DorvelFilter* filter) {
  OpenListLink& link = LinkOf(filter);
  link.older = newest_;
  link.newer = nullptr;
  if (newest_ != nullptr) {
    LinkOf(newest_).newer = filter;
  } else {
    oldest_ = filter;
  }
  newest_ = filter;
  ++size_;
}

void OpenFilters::Remove(DorvelFilter* filter) {
  OpenListLink& link = LinkOf(filter);
  if (link.older != nullptr) {
    LinkOf(link.older).newer = link.newer;
  } else {
    oldest_ = link.newer;
  }
  if (link.newer != nullptr) {
    LinkOf(link.newer).older = link.older;
  } else {
    newest_ = link.older;
  }
  link = OpenListLink();
  --size_;
}

void SetOpenLimit(int32_t limit) {
  OpenFilters& open = OpenFilters::instance();
  std::lock_guard<std::mutex> lock(open.mutex());
  open.SetLimit(limit);
}
