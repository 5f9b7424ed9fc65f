// DorvelFilterCheck: while a script loads, every filter made with a template
// after it opens its clip once, is checked against the template, and closes
// again, so that a missing file or a clip that does not fit fails the script
// at that line rather than the encode at that part.
//
// The switch belongs to one script environment and to the thread that loads
// its script. Filters made at frame time are not checked: those made on other
// threads (the host's Prefetch threads), those made on the loading thread
// inside one of the module's requests or openings (see deferred/calls/frame_time.h),
// such as the filters of a script that an opening imports, and those made by
// a runtime script (ScriptClip's), which the host runs inside a frame or
// audio request of its own. Every filter passed over while the switch is on
// says so, and why, in the host's log. What the module cannot tell apart
// from loading is checked.
#pragma once

#include "avisynth_interface.h"

// DorvelFilterCheck(bool "enable"): switches the check on (by default) or
// off for the rest of the script; answers whether it is on.
AVSValue DORVEL_CDECL SetDorvelFilterCheck(AVSValue args, void* user_data, IScriptEnvironment* env);

// What becomes of a templated filter made now, through `env`: checked now,
// or not, with the reason to log when the switch is on (else null).
struct LoadCheck {
  bool now;
  const char* skipped;
};
LoadCheck CheckAtLoad(IScriptEnvironment* env);
