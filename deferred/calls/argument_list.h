// The arguments of the call a filter makes, with their names: counted copies
// of the values, and the names as the host's own strings (null for a
// positional argument). Kept inside the filter when there are few of them,
// so that most filters cost no allocations of their own beyond themselves.
#pragma once

#include <cstddef>

#include "plugin/avisynth_interface.h"

class ArgumentList {
 public:
  ArgumentList();
  ~ArgumentList();  // releases every value
  ArgumentList(const ArgumentList&) = delete;
  ArgumentList& operator=(const ArgumentList&) = delete;

  // Either appends, or throws (when memory runs out) and leaves the list as
  // it was.
  void Append(const AVSValue& value, const char* name);

  std::size_t size() const { return size_; }
  // The values and the names, in order; `size()` of each.
  const AVSValue* values() const { return values_; }
  const char* const* names() const { return names_; }

 private:
  static constexpr std::size_t kInline = 4;

  // Append into a block of twice the room. When memory runs out, in the
  // list's allocation or in the host's copies of the values, it throws and
  // leaves the list as it was.
  void AppendGrowing(const AVSValue& value, const char* name);
  // Releases every value, and the block that held them when it was allocated.
  void Release();

  std::size_t size_ = 0;
  std::size_t capacity_ = kInline;
  AVSValue* values_;
  const char** names_;
  alignas(AVSValue) unsigned char inlineValues_[kInline * sizeof(AVSValue)];
  const char* inlineNames_[kInline];
};
