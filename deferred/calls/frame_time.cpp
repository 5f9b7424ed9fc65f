#include "frame_time.h"

namespace {
thread_local int depth = 0;
}  // namespace

ModuleCallOnThisThread::ModuleCallOnThisThread() { ++depth; }

ModuleCallOnThisThread::~ModuleCallOnThisThread() { --depth; }

bool InsideModuleCall() { return depth > 0; }
