#include "decode_parameters.h"

void DecodeParameters(const AVSValue& parameters, std::vector<AVSValue>& args, std::vector<const char*>& argNames) {
  // The host answers the size afresh each time; a non-array counts as one element.
  for (int i = 0; i < parameters.ArraySize(); ++i) {
    const AVSValue& element = parameters[i];
    const char* name =
        element.IsArray() && element.ArraySize() == 2 && element[0].IsString() ? element[0].AsString() : nullptr;
    if (name == nullptr) {
      args.push_back(element);
      argNames.push_back(nullptr);
    } else if (name[0] == '!') {
      // The string value points one character into the host's string: nothing is copied.
      const AVSValue pair[2] = {AVSValue(name + 1), element[1]};
      args.push_back(AVSValue(pair, 2));
      argNames.push_back(nullptr);
    } else {
      args.push_back(element[1]);
      argNames.push_back(name);
    }
  }
}
