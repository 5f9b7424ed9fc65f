#include "argument_list.h"

#include <new>

ArgumentList::ArgumentList() : values_(reinterpret_cast<AVSValue*>(inlineValues_)), names_(inlineNames_) {}

ArgumentList::~ArgumentList() {
  for (std::size_t i = 0; i < size_; ++i) values_[i].~AVSValue();
  if (names_ != inlineNames_) {
    ::operator delete(values_);
    delete[] names_;
  }
}

void ArgumentList::Append(const AVSValue& value, const char* name) {
  if (size_ == capacity_) Grow();
  new (&values_[size_]) AVSValue(value);
  names_[size_] = name;
  ++size_;
}

void ArgumentList::Grow() {
  const std::size_t capacity = capacity_ * 2;
  auto* values = static_cast<AVSValue*>(::operator new(capacity * sizeof(AVSValue)));
  const char** names = new const char*[capacity];
  for (std::size_t i = 0; i < size_; ++i) {
    new (&values[i]) AVSValue(values_[i]);
    values_[i].~AVSValue();
    names[i] = names_[i];
  }
  if (names_ != inlineNames_) {
    ::operator delete(values_);
    delete[] names_;
  }
  values_ = values;
  names_ = names;
  capacity_ = capacity;
}
