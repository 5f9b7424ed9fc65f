#include "function_named.h"

void RequireFunction(const char* name, IScriptEnvironment* env) {
  if (!env->FunctionExists(name)) env->ThrowError("DorvelFilter: there is no function named \"%s\"", name);
}
