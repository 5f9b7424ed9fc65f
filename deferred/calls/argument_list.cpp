#include "argument_list.h"

#include <memory>
#include <new>

// A grown list keeps its values, and after them its names, in one block.
static_assert(sizeof(AVSValue) % alignof(const char*) == 0, "the names would not be aligned");

ArgumentList::ArgumentList() : values_(reinterpret_cast<AVSValue*>(inlineValues_)), names_(inlineNames_) {}

ArgumentList::~ArgumentList() { Release(); }

void ArgumentList::Release() {
  for (std::size_t i = 0; i < size_; ++i) values_[i].~AVSValue();
  if (names_ != inlineNames_) ::operator delete(values_);
}

void ArgumentList::Append(const AVSValue& value, const char* name) {
  if (size_ == capacity_) {
    AppendGrowing(value, name);
    return;
  }
  new (&values_[size_]) AVSValue(value);
  names_[size_] = name;
  ++size_;
}

void ArgumentList::AppendGrowing(const AVSValue& value, const char* name) {
  const std::size_t capacity = capacity_ * 2;
  const std::size_t bytes = capacity * (sizeof(AVSValue) + sizeof(const char*));
  auto* values = static_cast<AVSValue*>(::operator new(bytes));
  // Every value is copied before anything of the list changes: the host may
  // fail to make a copy, and the list must then be as it was.
  std::size_t copied = 0;
  try {
    for (; copied < size_; ++copied) new (&values[copied]) AVSValue(values_[copied]);
    new (&values[size_]) AVSValue(value);
  } catch (...) {
    while (copied > 0) values[--copied].~AVSValue();
    ::operator delete(values);
    throw;
  }
  const auto names = reinterpret_cast<const char**>(values + capacity);
  std::uninitialized_copy(names_, names_ + size_, names);
  names[size_] = name;
  Release();
  values_ = values;
  names_ = names;
  capacity_ = capacity;
  ++size_;
}
