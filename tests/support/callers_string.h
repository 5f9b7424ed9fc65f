// A C++ caller's own copy of a string, which it may overwrite and free as
// soon as its call returns: what a program or another plugin passes to the
// host when it calls a script function.
#pragma once

#include <cstring>
#include <memory>

class CallersString {
 public:
  explicit CallersString(const char* text) : text_(new char[std::strlen(text) + 1]) { std::strcpy(text_.get(), text); }
  const char* get() const { return text_.get(); }
  // Overwritten, then freed.
  void Discard() {
    std::memset(text_.get(), 'Z', std::strlen(text_.get()));
    text_.reset();
  }

 private:
  std::unique_ptr<char[]> text_;
};
