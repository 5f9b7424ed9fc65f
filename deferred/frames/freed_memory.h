// Hands memory that released clips left free back to the system.
//
// A decoder frees what it held when its clip is released, but the C
// library's allocator keeps freed blocks in its per-thread arenas, and every
// new decoder (each running threads of its own) leaves more of them behind.
// Without asking, a low limit can cost more memory than a high one.
#pragma once

// Called after a wrapped clip was released (when a filter closes to make
// room, once the new clip is made, so that it has the first use of what the
// old one freed), with no lock held. Asks the C library to return free
// memory, at most once per interval however many clips are released
// meanwhile, from any thread, and not in the middle of a burst of releases
// (see freed_memory_pace.h). Does nothing where the C library has no such
// call, or when the module is built without it.
void ReturnFreedMemory();
