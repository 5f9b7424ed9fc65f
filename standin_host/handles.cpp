// The host's side of clip and frame references: counted, thread-safe, and
// a clip is deleted through its virtual destructor when its count reaches 0.
#include "host_counters.h"
#include "plugin/avisynth_interface.h"
#include "video_frame.h"

void IClip::hostAddRef() { __atomic_add_fetch(&refcnt, 1, __ATOMIC_RELAXED); }

void IClip::hostDropRef() {
  const long left = __atomic_sub_fetch(&refcnt, 1, __ATOMIC_ACQ_REL);
  if (left == 0) {
    delete this;
  } else if (left < 0) {
    hostCounters().overReleases++;
  }
}

void PClip::hostInit() { clip = nullptr; }

void PClip::hostCopy(const PClip& other) { hostFromPointer(other.clip); }

void PClip::hostFromPointer(IClip* pointer) {
  clip = pointer;
  if (clip != nullptr) clip->hostAddRef();
}

void PClip::hostAssignPointer(IClip* pointer) {
  if (pointer != nullptr) pointer->hostAddRef();
  IClip* old = clip;
  clip = pointer;
  if (old != nullptr) old->hostDropRef();
}

void PClip::hostAssign(const PClip& other) { hostAssignPointer(other.clip); }

void PClip::hostRelease() {
  IClip* old = clip;
  clip = nullptr;
  if (old != nullptr) old->hostDropRef();
}

void PVideoFrame::hostInit() { frame = nullptr; }

void PVideoFrame::hostCopy(const PVideoFrame& other) { hostFromPointer(other.frame); }

void PVideoFrame::hostFromPointer(VideoFrame* pointer) {
  frame = pointer;
  if (frame != nullptr) frame->AddRef();
}

void PVideoFrame::hostAssignPointer(VideoFrame* pointer) {
  if (pointer != nullptr) pointer->AddRef();
  VideoFrame* old = frame;
  frame = pointer;
  if (old != nullptr) old->DropRef();
}

void PVideoFrame::hostAssign(const PVideoFrame& other) { hostAssignPointer(other.frame); }

void PVideoFrame::hostRelease() {
  VideoFrame* old = frame;
  frame = nullptr;
  if (old != nullptr) old->DropRef();
}
