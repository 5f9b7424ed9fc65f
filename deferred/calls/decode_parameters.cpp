#include "decode_parameters.h"

#include <vector>

namespace {

// `value`, with each string in it, at any depth of arrays, replaced by the
// environment's own copy.
AVSValue KeptByHost(const AVSValue& value, IScriptEnvironment* env, SavedStrings& saved) {
  if (value.IsString()) {
    const char* text = value.AsString();
    return text == nullptr ? value : AVSValue(saved.Save(env, text));
  }
  if (!value.IsArray()) return value;
  std::vector<AVSValue> elements;
  elements.reserve(static_cast<std::size_t>(value.ArraySize()));
  for (int i = 0; i < value.ArraySize(); ++i) elements.push_back(KeptByHost(value[i], env, saved));
  return AVSValue(elements.empty() ? nullptr : elements.data(), static_cast<int>(elements.size()));
}

}  // namespace

void DecodeParameters(const AVSValue& parameters, ArgumentList& args, IScriptEnvironment* env, SavedStrings& saved) {
  // The host answers the size afresh each time; a non-array counts as one element.
  for (int i = 0; i < parameters.ArraySize(); ++i) {
    const AVSValue& element = parameters[i];
    const char* given =
        element.IsArray() && element.ArraySize() == 2 && element[0].IsString() ? element[0].AsString() : nullptr;
    if (given == nullptr) {
      args.Append(KeptByHost(element, env, saved), nullptr);
      continue;
    }
    const char* name = saved.Save(env, given);
    if (name[0] == '!') {
      // The string value points one character into the saved name.
      const AVSValue pair[2] = {AVSValue(name + 1), KeptByHost(element[1], env, saved)};
      args.Append(AVSValue(pair, 2), nullptr);
    } else {
      args.Append(KeptByHost(element[1], env, saved), name);
    }
  }
}
