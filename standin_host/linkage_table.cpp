#include "linkage_table.h"

namespace {
AVS_Linkage MakeTable() {
  AVS_Linkage table{};
  table.Size = static_cast<int>(sizeof(AVS_Linkage));

  table.videoHasVideo = &VideoInfo::hostHasVideo;
  table.videoHasAudio = &VideoInfo::hostHasAudio;
  table.videoIsYV12 = &VideoInfo::hostIsYV12;
  table.videoBytesPerAudioSample = &VideoInfo::hostBytesPerAudioSample;
  table.videoBytesPerChannelSample = &VideoInfo::hostBytesPerChannelSample;
  table.videoIsSameColorspace = &VideoInfo::hostIsSameColorspace;

  table.clipInit = &PClip::hostInit;
  table.clipCopy = &PClip::hostCopy;
  table.clipFromPointer = &PClip::hostFromPointer;
  table.clipAssignPointer = &PClip::hostAssignPointer;
  table.clipAssign = &PClip::hostAssign;
  table.clipRelease = &PClip::hostRelease;

  table.frameInit = &PVideoFrame::hostInit;
  table.frameCopy = &PVideoFrame::hostCopy;
  table.frameFromPointer = &PVideoFrame::hostFromPointer;
  table.frameAssignPointer = &PVideoFrame::hostAssignPointer;
  table.frameAssign = &PVideoFrame::hostAssign;
  table.frameRelease = &PVideoFrame::hostRelease;

  table.valueInitUndefined = &AVSValue::hostInitUndefined;
  table.valueInitClipPointer = &AVSValue::hostInitClipPointer;
  table.valueInitClip = &AVSValue::hostInitClip;
  table.valueInitBool = &AVSValue::hostInitBool;
  table.valueInitInt = &AVSValue::hostInitInt;
  table.valueInitFloat = &AVSValue::hostInitFloat;
  table.valueInitDouble = &AVSValue::hostInitDouble;
  table.valueInitString = &AVSValue::hostInitString;
  table.valueInitArray = &AVSValue::hostInitArray;
  table.valueCopy = &AVSValue::hostCopy;
  table.valueRelease = &AVSValue::hostRelease;
  table.valueAssign = &AVSValue::hostAssign;
  table.valueIndex = &AVSValue::hostIndex;
  table.valueDefined = &AVSValue::hostDefined;
  table.valueIsClip = &AVSValue::hostIsClip;
  table.valueIsBool = &AVSValue::hostIsBool;
  table.valueIsInt = &AVSValue::hostIsInt;
  table.valueIsFloat = &AVSValue::hostIsFloat;
  table.valueIsString = &AVSValue::hostIsString;
  table.valueIsArray = &AVSValue::hostIsArray;
  table.valueAsClip = &AVSValue::hostAsClip;
  table.valueAsBool = &AVSValue::hostAsBool;
  table.valueAsInt = &AVSValue::hostAsInt;
  table.valueAsString = &AVSValue::hostAsString;
  table.valueAsFloat = &AVSValue::hostAsFloat;
  table.valueAsBoolOr = &AVSValue::hostAsBoolOr;
  table.valueAsIntOr = &AVSValue::hostAsIntOr;
  table.valueAsDoubleOr = &AVSValue::hostAsDoubleOr;
  table.valueAsFloatOr = &AVSValue::hostAsFloatOr;
  table.valueAsStringOr = &AVSValue::hostAsStringOr;
  table.valueArraySize = &AVSValue::hostArraySize;

  table.valueIsLong = &AVSValue::hostIsLong;
  table.valueIsStrictFloat = &AVSValue::hostIsStrictFloat;
  table.valueAsLong = &AVSValue::hostAsLong;
  table.valueAsLongOr = &AVSValue::hostAsLongOr;
  table.valueInitLong = &AVSValue::hostInitLong;
  return table;
}

const AVS_Linkage kTable = MakeTable();
}  // namespace

const AVS_Linkage& standInLinkage() { return kTable; }

// The host's own handles use the table it hands to plugins.
const AVS_Linkage* AVS_linkage = &kTable;
