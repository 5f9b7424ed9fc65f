#include "bench_host.h"

BenchHost& BenchHost::Get() {
  static BenchHost host;
  return host;
}

BenchHost::BenchHost() {
  env_.LoadPlugin(DORVEL_MODULE_PATH);
  SourceSettings fill;
  AddSourceFunction(env_, "Fill", fill);
  SourceSettings stored;
  stored.frames = FrameMode::Stored;
  AddSourceFunction(env_, "Stored", stored);
  SourceSettings tiny;
  tiny.vi.width = 8;
  tiny.vi.height = 8;
  AddSourceFunction(env_, "Tiny", tiny);
  shape_ = Source("Tiny", 0);
}

PClip BenchHost::Source(const char* function, int id) { return env_.Call(function, {AVSValue(id)}).AsClip(); }

PClip BenchHost::Deferred(const char* function, int id, bool withTemplate) {
  return CallDorvelFilter(env_, function, ArrayOf({AVSValue(id)}), withTemplate ? shape_.AsClip() : PClip()).AsClip();
}

void BenchHost::Limit(int limit) { env_.Call("DorvelFilterLimit", {AVSValue(limit)}); }
