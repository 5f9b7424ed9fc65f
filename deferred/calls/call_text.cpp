#include "call_text.h"

#include <cstdio>

namespace {

constexpr std::size_t kLongestString = 200;
constexpr int kMostElements = 8;

// `whole`: nothing shortened, numbers to their last digit, and no two
// different values written alike.
void AppendValue(std::string& text, const AVSValue& value, int depth, bool whole) {
  if (value.IsString()) {
    const char* s = value.AsString();
    std::string shown = s == nullptr ? "" : s;
    if (!whole && shown.size() > kLongestString) shown = shown.substr(0, kLongestString) + "...";
    if (whole && shown.find('"') != std::string::npos) {
      // Written as a script's escaped string, so that one string holding
      // quotes and commas never reads as several strings.
      text += "e\"";
      for (const char c : shown) {
        if (c == '"' || c == '\\') text += '\\';
        text += c;
      }
      text += '"';
      return;
    }
    text += '"' + shown + '"';
  } else if (value.IsBool()) {
    text += value.AsBool() ? "true" : "false";
  } else if (value.IsInt()) {
    text += std::to_string(value.AsInt());
  } else if (value.IsFloat()) {
    char number[32];
    std::snprintf(number, sizeof number, whole ? "%.17g" : "%g", value.AsFloat());
    text += number;
    // A whole number still reads as a float, not as the int it equals.
    if (whole && std::string(number).find_first_not_of("-0123456789") == std::string::npos) text += ".0";
  } else if (value.IsClip()) {
    text += "clip";
  } else if (value.IsArray()) {
    text += '[';
    const int size = value.ArraySize();
    for (int i = 0; i < size; ++i) {
      if (i > 0) text += ", ";
      if (!whole && (i == kMostElements || depth > 2)) {
        text += "...";
        break;
      }
      AppendValue(text, value[i], depth + 1, whole);
    }
    text += ']';
  } else if (!value.Defined()) {
    text += "undefined";
  } else {
    text += "?";
  }
}

}  // namespace

std::string CallText(const char* functionName, const ArgumentList& args, bool whole) {
  std::string text = functionName;
  text += '(';
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i > 0) text += ", ";
    const char* name = args.names()[i];
    if (name != nullptr) text += std::string(name) + '=';
    AppendValue(text, args.values()[i], 0, whole);
  }
  return text + ')';
}
