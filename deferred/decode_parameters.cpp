#include "decode_parameters.h"

void DecodeParameters(const AVSValue& parameters, ArgumentList& args) {
  // The host answers the size afresh each time; a non-array counts as one element.
  for (int i = 0; i < parameters.ArraySize(); ++i) {
    const AVSValue& element = parameters[i];
    const char* name =
        element.IsArray() && element.ArraySize() == 2 && element[0].IsString() ? element[0].AsString() : nullptr;
    if (name == nullptr) {
      args.Append(element, nullptr);
    } else if (name[0] == '!') {
      // The string value points one character into the host's string: nothing is copied.
      const AVSValue pair[2] = {AVSValue(name + 1), element[1]};
      args.Append(AVSValue(pair, 2), nullptr);
    } else {
      args.Append(element[1], name);
    }
  }
}
