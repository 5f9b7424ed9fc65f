#include "signature.h"

#include <strings.h>

#include <stdexcept>

namespace {
bool IsTypeLetter(char c) { return std::string("cifbsa.").find(c) != std::string::npos; }

bool Fits(char type, const AVSValue& value) {
  switch (type) {
    case 'c':
      return value.IsClip();
    case 'i':
      return value.IsInt();
    case 'f':
      return value.IsFloat();
    case 'b':
      return value.IsBool();
    case 's':
      return value.IsString();
    case 'a':
      return value.IsArray();
    default:
      return true;
  }
}
}  // namespace

std::vector<Parameter> ParseParameters(const std::string& params) {
  std::vector<Parameter> parsed;
  std::size_t at = 0;
  while (at < params.size()) {
    Parameter parameter{"", '\0', false};
    if (params[at] == '[') {
      const std::size_t close = params.find(']', at);
      if (close == std::string::npos) throw std::invalid_argument("unclosed name in '" + params + "'");
      parameter.name = params.substr(at + 1, close - at - 1);
      parameter.optional = true;
      at = close + 1;
    }
    if (at >= params.size() || !IsTypeLetter(params[at])) {
      throw std::invalid_argument("bad type letter in '" + params + "'");
    }
    parameter.type = params[at++];
    parsed.push_back(parameter);
  }
  return parsed;
}

bool MatchArguments(const std::vector<Parameter>& parameters, const AVSValue& args, const char* const* argNames,
                    std::vector<AVSValue>& slots) {
  slots.assign(parameters.size(), AVSValue());
  std::vector<bool> given(parameters.size(), false);
  const int count = args.IsArray() ? args.ArraySize() : (args.Defined() ? 1 : 0);
  std::size_t nextPositional = 0;
  for (int i = 0; i < count; ++i) {
    const AVSValue& value = args.IsArray() ? args[i] : args;
    const char* name = argNames != nullptr ? argNames[i] : nullptr;
    std::size_t slot = parameters.size();
    if (name == nullptr) {
      slot = nextPositional++;
    } else {
      for (std::size_t p = 0; p < parameters.size(); ++p) {
        if (parameters[p].optional && strcasecmp(parameters[p].name.c_str(), name) == 0) slot = p;
      }
    }
    if (slot >= parameters.size() || given[slot]) return false;
    if (!value.Defined()) continue;
    if (!Fits(parameters[slot].type, value)) return false;
    slots[slot] = value;
    given[slot] = true;
  }
  for (std::size_t p = 0; p < parameters.size(); ++p) {
    if (!parameters[p].optional && !given[p]) return false;
  }
  return true;
}
