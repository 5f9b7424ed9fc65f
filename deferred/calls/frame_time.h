// Whether the calling thread is serving a frame or audio request of the
// module's, or an opening of one of its filters, rather than a script being
// loaded.
//
// Every GetFrame and GetAudio of a filter, and every opening, counts itself on
// the calling thread for as long as it runs. A script function that such a
// call runs (an opening's own function, a ScriptClip's script, the
// runtime script of a clip read through a filter) makes its filters with the
// count above zero. A script being loaded makes them with the count at zero,
// since loading runs no request of the module's on that thread. Threads the
// host starts for Prefetch are told apart by the caller: what is switched on
// while a script loads applies only on the thread that loads it.
#pragma once

// Counts one request or opening on the calling thread while it lives.
class ModuleCallOnThisThread {
 public:
  ModuleCallOnThisThread();
  ~ModuleCallOnThisThread();
  ModuleCallOnThisThread(const ModuleCallOnThisThread&) = delete;
  ModuleCallOnThisThread& operator=(const ModuleCallOnThisThread&) = delete;
};

// True while the calling thread is inside a request or an opening of the
// module's.
bool InsideModuleCall();
