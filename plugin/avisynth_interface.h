// The part of the AviSynth+ plugin interface (version 11) that this module
// speaks, declared for binary compatibility with the real host on every
// target it is built for. What decides the layout is the target's C++ ABI
// family, not its processor: the Itanium C++ ABI of GCC and Clang (Linux,
// macOS and the BSDs on any processor, and MinGW-w64), 64-bit or 32-bit, and
// MSVC's for Windows x64 and x86 (the host's official Windows releases).
// Layouts, virtual-table orders, calling conventions and the linkage table's
// entries are fixed by the host; the static_asserts at the end pin every one
// of them for the target being built.
//
// Every construction, copy, assignment, release and query of a handle
// (AVSValue, PClip, PVideoFrame) goes through the host's linkage table, so
// the host alone decides what a value is and when it dies. A handle whose
// table entry is missing (a smaller table, or an entry the host left empty)
// does nothing and answers zero, as the host's own header does.
//
// The members named host*() are the host's side of each handle: the host
// fills the linkage table with them. A plugin never calls them itself.
//
// Only C headers are included, so that the layout can be checked for targets
// whose C++ library is not at hand (MSVC's, macOS) by a compiler alone.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

// The sizes that differ between ABI families; every pinned offset below
// follows from them. A linkage entry is a pointer to a member function: on
// the Itanium ABI a code pointer and a this-adjustment, two pointers wide; on
// MSVC, for classes declared __single_inheritance, a code pointer alone. The
// table's `int Size` is padded to the entries' alignment, a pointer's.
// `kTableEnd` is where the version-11 value entries end, as the host has it.
// The pointer width is read from UINTPTR_MAX, as the host's own header does,
// so a 32-bit ABI on a 64-bit processor (x32, arm64_32) is a 32-bit target.
#if defined(_MSC_VER) && defined(_WIN64)
#define DORVEL_TARGET "MSVC x64"
namespace host_layout {
constexpr size_t kPointer = 8, kEntry = 8, kTableEnd = 840;
}
#elif defined(_MSC_VER) && defined(_WIN32)
#define DORVEL_TARGET "MSVC x86"
namespace host_layout {
constexpr size_t kPointer = 4, kEntry = 4, kTableEnd = 420;
}
#elif (defined(__MINGW32__) && defined(_WIN64)) || (!defined(_WIN32) && UINTPTR_MAX == UINT64_MAX)
#define DORVEL_TARGET "64-bit Itanium (64-bit Linux, macOS, BSD; MinGW x64)"
namespace host_layout {
constexpr size_t kPointer = 8, kEntry = 16, kTableEnd = 1672;
}
#elif defined(__MINGW32__) && defined(_WIN32) && UINTPTR_MAX == UINT32_MAX
#define DORVEL_TARGET "MinGW x86"
namespace host_layout {
constexpr size_t kPointer = 4, kEntry = 8, kTableEnd = 836;
}
#elif !defined(_WIN32) && UINTPTR_MAX == UINT32_MAX
#define DORVEL_TARGET "32-bit Itanium (32-bit Linux, BSD)"
namespace host_layout {
constexpr size_t kPointer = 4, kEntry = 8, kTableEnd = 836;
}
#else
#error \
    "The host's binary interface is known for the Itanium C++ ABI outside Windows (32- and 64-bit), MinGW-w64 x64 and x86, and MSVC x64 and x86 only"
#endif
namespace host_layout {
// Where entry k of the linkage table sits, counting from 0 at the first
// VideoInfo entry (HasVideo).
constexpr size_t Entry(size_t k) { return kPointer + k * kEntry; }
}  // namespace host_layout

// Calling conventions, which only 32-bit Windows tells apart (64-bit targets
// ignore them, and off Windows the host defines them away): the host calls a clip's and an environment's virtual
// functions and the entry function __stdcall, destructors and variadic
// functions by the default member convention, and script-function handlers
// __cdecl.
#if defined(_WIN32) && !defined(_WIN64)
#define DORVEL_STDCALL __stdcall
#define DORVEL_CDECL __cdecl
#else
#define DORVEL_STDCALL
#define DORVEL_CDECL
#endif

// MSVC picks the widest pointer-to-member form for a class it has not seen
// yet; the linkage table names the handle classes before they are defined.
#if defined(_MSC_VER)
#define DORVEL_SINGLE_INHERITANCE __single_inheritance
#else
#define DORVEL_SINGLE_INHERITANCE
#endif

enum { AVISYNTH_INTERFACE_VERSION = 11 };

// The host's question, through SetCacheHints, whether a clip wants no frame
// cache of the host's around it (answered 1 for yes).
enum { CACHE_DONT_CACHE_ME = 501 };

// The host's hints, through SetCacheHints, of how many neighbouring frames a
// consumer reads around each frame it asks for: a window around the current
// frame, or a number of frames used at random.
enum { CACHE_WINDOW = 11, CACHE_GENERIC = 12, CACHE_FORCE_GENERIC = 13 };

// The host's question to a clip, through SetCacheHints, about how it may be
// called from several threads, and its answers: one instance, any thread, any
// time; one instance per thread; one instance, one call at a time. The host
// believes them only from clips of version 5 and later.
enum { CACHE_GET_MTMODE = 509 };
enum { MT_NICE_FILTER = 1, MT_MULTI_INSTANCE = 2, MT_SERIALIZED = 3 };

class DORVEL_SINGLE_INHERITANCE IClip;
class DORVEL_SINGLE_INHERITANCE PClip;
class DORVEL_SINGLE_INHERITANCE PVideoFrame;
class DORVEL_SINGLE_INHERITANCE AVSValue;
class DORVEL_SINGLE_INHERITANCE VideoFrame;
class DORVEL_SINGLE_INHERITANCE VideoFrameBuffer;
struct DORVEL_SINGLE_INHERITANCE VideoInfo;
class IScriptEnvironment;

// The host's description of a clip's video and audio. The module copies it
// whole; what it asks of it, it asks the host (the queries below), so that
// the host's own rules decide, such as which pixel types count as one colour
// space. Each query answers 0 when the host's table lacks it.
struct VideoInfo {
  int width;
  int height;
  unsigned fps_numerator;
  unsigned fps_denominator;
  int num_frames;
  int pixel_type;
  int audio_samples_per_second;
  int sample_type;
  int64_t num_audio_samples;
  int nchannels;
  int image_type;

  inline bool HasVideo() const;
  inline bool HasAudio() const;
  inline int BytesPerAudioSample() const;
  inline bool IsSameColorspace(const VideoInfo& other) const;

  bool hostHasVideo() const;
  bool hostHasAudio() const;
  bool hostIsYV12() const;
  int hostBytesPerAudioSample() const;
  int hostBytesPerChannelSample() const;
  bool hostIsSameColorspace(const VideoInfo& other) const;
};

// The host's table of value operations, handed to the entry function.
// `Size` is the number of bytes of it that the host provides.
struct AVS_Linkage {
  int Size;

  // The 42 VideoInfo queries; the module calls a few, and for the others
  // only the room they take matters.
  bool (VideoInfo::*videoHasVideo)() const;
  bool (VideoInfo::*videoHasAudio)() const;
  void (VideoInfo::*videoInfoQueries2to8[7])() const;
  bool (VideoInfo::*videoIsYV12)() const;
  void (VideoInfo::*videoInfoQueries10to30[21])() const;
  int (VideoInfo::*videoBytesPerAudioSample)() const;
  void (VideoInfo::*videoInfoQueries32to37[6])() const;
  int (VideoInfo::*videoBytesPerChannelSample)() const;
  void (VideoInfo::*videoInfoQueries39to40[2])() const;
  bool (VideoInfo::*videoIsSameColorspace)(const VideoInfo&) const;

  // Entries this module never calls; only the room they take matters.
  void (VideoFrameBuffer::*frameBufferQueries[5])() const;
  void (VideoFrame::*videoFrameQueries[9])() const;

  void (PClip::*clipInit)();
  void (PClip::*clipCopy)(const PClip&);
  void (PClip::*clipFromPointer)(IClip*);
  void (PClip::*clipAssignPointer)(IClip*);
  void (PClip::*clipAssign)(const PClip&);
  void (PClip::*clipRelease)();

  void (PVideoFrame::*frameInit)();
  void (PVideoFrame::*frameCopy)(const PVideoFrame&);
  void (PVideoFrame::*frameFromPointer)(VideoFrame*);
  void (PVideoFrame::*frameAssignPointer)(VideoFrame*);
  void (PVideoFrame::*frameAssign)(const PVideoFrame&);
  void (PVideoFrame::*frameRelease)();

  void (AVSValue::*valueInitUndefined)();
  void (AVSValue::*valueInitClipPointer)(IClip*);
  void (AVSValue::*valueInitClip)(const PClip&);
  void (AVSValue::*valueInitBool)(bool);
  void (AVSValue::*valueInitInt)(int);
  void (AVSValue::*valueInitFloat)(float);
  void (AVSValue::*valueInitDouble)(double);
  void (AVSValue::*valueInitString)(const char*);
  void (AVSValue::*valueInitArray)(const AVSValue*, int);
  void (AVSValue::*valueCopy)(const AVSValue&);
  void (AVSValue::*valueRelease)();
  AVSValue& (AVSValue::*valueAssign)(const AVSValue&);
  const AVSValue& (AVSValue::*valueIndex)(int) const;
  bool (AVSValue::*valueDefined)() const;
  bool (AVSValue::*valueIsClip)() const;
  bool (AVSValue::*valueIsBool)() const;
  bool (AVSValue::*valueIsInt)() const;
  bool (AVSValue::*valueIsFloat)() const;
  bool (AVSValue::*valueIsString)() const;
  bool (AVSValue::*valueIsArray)() const;
  PClip (AVSValue::*valueAsClip)() const;
  bool (AVSValue::*valueAsBool)() const;
  int (AVSValue::*valueAsInt)() const;
  const char* (AVSValue::*valueAsString)() const;
  double (AVSValue::*valueAsFloat)() const;
  bool (AVSValue::*valueAsBoolOr)(bool) const;
  int (AVSValue::*valueAsIntOr)(int) const;
  double (AVSValue::*valueAsDoubleOr)(double) const;
  double (AVSValue::*valueAsFloatOr)(float) const;
  const char* (AVSValue::*valueAsStringOr)(const char*) const;
  int (AVSValue::*valueArraySize)() const;

  // Added with interface version 11.
  bool (AVSValue::*valueIsLong)() const;
  bool (AVSValue::*valueIsStrictFloat)() const;
  int64_t (AVSValue::*valueAsLong)() const;
  int64_t (AVSValue::*valueAsLongOr)(int64_t) const;
  void (AVSValue::*valueInitLong)(int64_t);
};

// Each side of the boundary keeps its own pointer to the table: the host the
// table it made, a plugin the one its entry function was given.
extern const AVS_Linkage* AVS_linkage;

// True when the host's table provides `entry` and the entry is filled.
#define DORVEL_LINKED(entry)                                                                          \
  (AVS_linkage != nullptr && offsetof(AVS_Linkage, entry) < static_cast<size_t>(AVS_linkage->Size) && \
   AVS_linkage->entry != nullptr)

// The entry called on `this`; use only where DORVEL_LINKED(entry) holds.
#define DORVEL_ENTRY(entry) (this->*(AVS_linkage->entry))

bool VideoInfo::HasVideo() const { return DORVEL_LINKED(videoHasVideo) ? DORVEL_ENTRY(videoHasVideo)() : false; }
bool VideoInfo::HasAudio() const { return DORVEL_LINKED(videoHasAudio) ? DORVEL_ENTRY(videoHasAudio)() : false; }
int VideoInfo::BytesPerAudioSample() const {
  return DORVEL_LINKED(videoBytesPerAudioSample) ? DORVEL_ENTRY(videoBytesPerAudioSample)() : 0;
}
bool VideoInfo::IsSameColorspace(const VideoInfo& other) const {
  return DORVEL_LINKED(videoIsSameColorspace) ? DORVEL_ENTRY(videoIsSameColorspace)(other) : false;
}

// A counted reference to a clip.
class PClip {
 public:
  PClip() : clip(nullptr) {
    if (DORVEL_LINKED(clipInit)) DORVEL_ENTRY(clipInit)();
  }
  PClip(const PClip& other) : clip(nullptr) {
    if (DORVEL_LINKED(clipCopy)) DORVEL_ENTRY(clipCopy)(other);
  }
  PClip(IClip* pointer) : clip(nullptr) {
    if (DORVEL_LINKED(clipFromPointer)) DORVEL_ENTRY(clipFromPointer)(pointer);
  }  // NOLINT: implicit as in the host
  PClip& operator=(IClip* pointer) {
    if (DORVEL_LINKED(clipAssignPointer)) DORVEL_ENTRY(clipAssignPointer)(pointer);
    return *this;
  }
  PClip& operator=(const PClip& other) {
    if (DORVEL_LINKED(clipAssign)) DORVEL_ENTRY(clipAssign)(other);
    return *this;
  }
  ~PClip() {
    if (DORVEL_LINKED(clipRelease)) DORVEL_ENTRY(clipRelease)();
  }

  IClip* operator->() const { return clip; }
  explicit operator bool() const { return clip != nullptr; }
  bool operator!() const { return clip == nullptr; }
  IClip* get() const { return clip; }

  void hostInit();
  void hostCopy(const PClip& other);
  void hostFromPointer(IClip* pointer);
  void hostAssignPointer(IClip* pointer);
  void hostAssign(const PClip& other);
  void hostRelease();

 private:
  IClip* clip;
};

// A counted reference to one of the host's frames, opaque to the module.
class PVideoFrame {
 public:
  PVideoFrame() : frame(nullptr) {
    if (DORVEL_LINKED(frameInit)) DORVEL_ENTRY(frameInit)();
  }
  PVideoFrame(const PVideoFrame& other) : frame(nullptr) {
    if (DORVEL_LINKED(frameCopy)) DORVEL_ENTRY(frameCopy)(other);
  }
  PVideoFrame(VideoFrame* pointer) : frame(nullptr) {
    if (DORVEL_LINKED(frameFromPointer)) DORVEL_ENTRY(frameFromPointer)(pointer);
  }  // NOLINT
  PVideoFrame& operator=(VideoFrame* pointer) {
    if (DORVEL_LINKED(frameAssignPointer)) DORVEL_ENTRY(frameAssignPointer)(pointer);
    return *this;
  }
  PVideoFrame& operator=(const PVideoFrame& other) {
    if (DORVEL_LINKED(frameAssign)) DORVEL_ENTRY(frameAssign)(other);
    return *this;
  }
  ~PVideoFrame() {
    if (DORVEL_LINKED(frameRelease)) DORVEL_ENTRY(frameRelease)();
  }

  VideoFrame* operator->() const { return frame; }
  explicit operator bool() const { return frame != nullptr; }
  VideoFrame* get() const { return frame; }

  void hostInit();
  void hostCopy(const PVideoFrame& other);
  void hostFromPointer(VideoFrame* pointer);
  void hostAssignPointer(VideoFrame* pointer);
  void hostAssign(const PVideoFrame& other);
  void hostRelease();

 private:
  VideoFrame* frame;
};

// A counted script value: undefined, clip, bool, int, float, string, array
// and others.
class AVSValue {
 public:
  AVSValue() {
    Clear();
    if (DORVEL_LINKED(valueInitUndefined)) DORVEL_ENTRY(valueInitUndefined)();
  }
  AVSValue(IClip* clip) {
    Clear();
    if (DORVEL_LINKED(valueInitClipPointer)) DORVEL_ENTRY(valueInitClipPointer)(clip);
  }  // NOLINT
  AVSValue(const PClip& clip) {
    Clear();
    if (DORVEL_LINKED(valueInitClip)) DORVEL_ENTRY(valueInitClip)(clip);
  }  // NOLINT
  AVSValue(bool value) {
    Clear();
    if (DORVEL_LINKED(valueInitBool)) DORVEL_ENTRY(valueInitBool)(value);
  }  // NOLINT
  AVSValue(int value) {
    Clear();
    if (DORVEL_LINKED(valueInitInt)) DORVEL_ENTRY(valueInitInt)(value);
  }  // NOLINT
  AVSValue(float value) {
    Clear();
    if (DORVEL_LINKED(valueInitFloat)) DORVEL_ENTRY(valueInitFloat)(value);
  }  // NOLINT
  AVSValue(double value) {
    Clear();
    if (DORVEL_LINKED(valueInitDouble)) DORVEL_ENTRY(valueInitDouble)(value);
  }  // NOLINT
  AVSValue(const char* text) {
    Clear();
    if (DORVEL_LINKED(valueInitString)) DORVEL_ENTRY(valueInitString)(text);
  }  // NOLINT
  AVSValue(const AVSValue* elements, int count) {
    Clear();
    if (DORVEL_LINKED(valueInitArray)) DORVEL_ENTRY(valueInitArray)(elements, count);
  }
  AVSValue(const AVSValue& other) {
    Clear();
    if (DORVEL_LINKED(valueCopy)) DORVEL_ENTRY(valueCopy)(other);
  }
  ~AVSValue() {
    if (DORVEL_LINKED(valueRelease)) DORVEL_ENTRY(valueRelease)();
  }
  AVSValue& operator=(const AVSValue& other) {
    return DORVEL_LINKED(valueAssign) ? DORVEL_ENTRY(valueAssign)(other) : *this;
  }

  const AVSValue& operator[](int index) const {
    return DORVEL_LINKED(valueIndex) ? DORVEL_ENTRY(valueIndex)(index) : *this;
  }
  int ArraySize() const { return DORVEL_LINKED(valueArraySize) ? DORVEL_ENTRY(valueArraySize)() : 0; }
  bool Defined() const { return DORVEL_LINKED(valueDefined) ? DORVEL_ENTRY(valueDefined)() : false; }
  bool IsClip() const { return DORVEL_LINKED(valueIsClip) ? DORVEL_ENTRY(valueIsClip)() : false; }
  bool IsBool() const { return DORVEL_LINKED(valueIsBool) ? DORVEL_ENTRY(valueIsBool)() : false; }
  bool IsInt() const { return DORVEL_LINKED(valueIsInt) ? DORVEL_ENTRY(valueIsInt)() : false; }
  bool IsFloat() const { return DORVEL_LINKED(valueIsFloat) ? DORVEL_ENTRY(valueIsFloat)() : false; }
  bool IsString() const { return DORVEL_LINKED(valueIsString) ? DORVEL_ENTRY(valueIsString)() : false; }
  bool IsArray() const { return DORVEL_LINKED(valueIsArray) ? DORVEL_ENTRY(valueIsArray)() : false; }
  PClip AsClip() const { return DORVEL_LINKED(valueAsClip) ? DORVEL_ENTRY(valueAsClip)() : PClip(); }
  bool AsBool() const { return DORVEL_LINKED(valueAsBool) ? DORVEL_ENTRY(valueAsBool)() : false; }
  int AsInt() const { return DORVEL_LINKED(valueAsInt) ? DORVEL_ENTRY(valueAsInt)() : 0; }
  const char* AsString() const { return DORVEL_LINKED(valueAsString) ? DORVEL_ENTRY(valueAsString)() : nullptr; }
  double AsFloat() const { return DORVEL_LINKED(valueAsFloat) ? DORVEL_ENTRY(valueAsFloat)() : 0.0; }

  void hostInitUndefined();
  void hostInitClipPointer(IClip* clip);
  void hostInitClip(const PClip& clip);
  void hostInitBool(bool value);
  void hostInitInt(int value);
  void hostInitFloat(float value);
  void hostInitDouble(double value);
  void hostInitString(const char* text);
  void hostInitArray(const AVSValue* elements, int count);
  void hostInitLong(int64_t value);
  void hostCopy(const AVSValue& other);
  void hostRelease();
  AVSValue& hostAssign(const AVSValue& other);
  const AVSValue& hostIndex(int index) const;
  bool hostDefined() const;
  bool hostIsClip() const;
  bool hostIsBool() const;
  bool hostIsInt() const;
  bool hostIsFloat() const;
  bool hostIsString() const;
  bool hostIsArray() const;
  bool hostIsLong() const;
  bool hostIsStrictFloat() const;
  PClip hostAsClip() const;
  bool hostAsBool() const;
  int hostAsInt() const;
  const char* hostAsString() const;
  double hostAsFloat() const;
  int64_t hostAsLong() const;
  bool hostAsBoolOr(bool fallback) const;
  int hostAsIntOr(int fallback) const;
  double hostAsDoubleOr(double fallback) const;
  double hostAsFloatOr(float fallback) const;
  const char* hostAsStringOr(const char* fallback) const;
  int64_t hostAsLongOr(int64_t fallback) const;
  int hostArraySize() const;

 private:
  friend struct HostLayoutCheck;

  // Gives a handle a defined state before the host's constructor runs, so a
  // table without that entry leaves an undefined value, not garbage.
  void Clear() {
    type = 'v';
    array_size = 0;
    clip = nullptr;
  }

  short type;
  short array_size;
  // One pointer wide on every target. On 64-bit targets the host keeps
  // 64-bit integers and doubles in it too; on 32-bit ones it keeps them
  // elsewhere and points to them (`wide`), so no 8-byte member belongs here.
  union {
    IClip* clip;
    bool boolean;
    int integer;
    float floating_pt;
    const char* string;
    const AVSValue* array;
    const int64_t* wide;
  };
};

// The host's clip interface. The reference count belongs to the host: it
// starts at zero and only the host's handle operations change it; the host
// deletes the clip through the virtual destructor when it drops to zero.
class IClip {
 public:
  IClip() : refcnt(0) {}
  IClip(const IClip&) = delete;
  IClip& operator=(const IClip&) = delete;

  virtual int DORVEL_STDCALL GetVersion() { return AVISYNTH_INTERFACE_VERSION; }
  virtual PVideoFrame DORVEL_STDCALL GetFrame(int n, IScriptEnvironment* env) = 0;
  virtual bool DORVEL_STDCALL GetParity(int n) = 0;
  virtual void DORVEL_STDCALL GetAudio(void* buf, int64_t start, int64_t count, IScriptEnvironment* env) = 0;
  virtual int DORVEL_STDCALL SetCacheHints(int cachehints, int frame_range) = 0;
  virtual const VideoInfo& DORVEL_STDCALL GetVideoInfo() = 0;
  virtual ~IClip() {}

 private:
  friend class PClip;
  friend class AVSValue;
  friend struct HostLayoutCheck;

  // The host's side of the count, reached only from its handle operations.
  void hostAddRef();
  void hostDropRef();

  volatile long refcnt;
};

// A script-function handler: the arguments as one array value, in the order
// of the parameter string, an argument not given being undefined.
typedef AVSValue(DORVEL_CDECL* ApplyFunc)(AVSValue args, void* user_data, IScriptEnvironment* env);

// What the host calls, last registered first, when it starts to delete an
// environment (before the script's own functions are deleted).
typedef void(DORVEL_CDECL* ShutdownFunc)(void* user_data, IScriptEnvironment* env);

// What GetEnvProperty answers for this question: how many frame or audio
// requests the host is serving on the calling thread, through its caches and
// thread guards (AviSynth+ 3.6 and later; the host's AEP_GETFRAME_RECURSIVE).
constexpr int kEnvPropertyGetFrameDepth = 922;

// The script environment, declared up to the last entry the module calls;
// the host's class goes on after `GetEnvProperty`.
class IScriptEnvironment {
 public:
  // What Invoke throws when no function of the name takes the arguments
  // given. Inside a script the host turns it into a script error; anywhere
  // else nothing does.
  class NotFound {};

  virtual ~IScriptEnvironment() {}
  virtual int DORVEL_STDCALL GetCPUFlags() = 0;
  virtual char* DORVEL_STDCALL SaveString(const char* s, int length = -1) = 0;
  virtual char* Sprintf(const char* fmt, ...) = 0;
  virtual char* DORVEL_STDCALL VSprintf(const char* fmt, va_list val) = 0;
  // Raises a script error; never returns.
  virtual void ThrowError(const char* fmt, ...) = 0;
  virtual void DORVEL_STDCALL AddFunction(const char* name, const char* params, ApplyFunc apply, void* user_data) = 0;
  virtual bool DORVEL_STDCALL FunctionExists(const char* name) = 0;
  virtual AVSValue DORVEL_STDCALL Invoke(const char* name, const AVSValue args,
                                         const char* const* arg_names = nullptr) = 0;
  virtual AVSValue DORVEL_STDCALL GetVar(const char* name) = 0;
  virtual bool DORVEL_STDCALL SetVar(const char* name, const AVSValue& val) = 0;
  virtual bool DORVEL_STDCALL SetGlobalVar(const char* name, const AVSValue& val) = 0;
  virtual void DORVEL_STDCALL PushContext(int level = 0) = 0;
  virtual void DORVEL_STDCALL PopContext() = 0;
  virtual PVideoFrame DORVEL_STDCALL NewVideoFrame(const VideoInfo& vi, int align) = 0;
  virtual bool DORVEL_STDCALL MakeWritable(PVideoFrame* pvf) = 0;
  virtual void DORVEL_STDCALL BitBlt(unsigned char* dstp, int dst_pitch, const unsigned char* srcp, int src_pitch,
                                     int row_size, int height) = 0;
  // Registers `function` to run when the environment starts to be deleted.
  virtual void DORVEL_STDCALL AtExit(ShutdownFunc function, void* user_data) = 0;
  virtual void DORVEL_STDCALL CheckVersion(int version) = 0;
  virtual PVideoFrame DORVEL_STDCALL Subframe(PVideoFrame src, int rel_offset, int new_pitch, int new_row_size,
                                              int new_height) = 0;
  // Sets the frame memory limit in MB when `mem` is above 0; answers the
  // limit in force, so 0 reads it without changing it.
  virtual int DORVEL_STDCALL SetMemoryMax(int mem) = 0;
  // Entries 22 to 57 (SetWorkingDir to NewVideoFrameP), which the module
  // never calls: they only hold their places in the host's order.
  virtual void DORVEL_STDCALL Unused22_SetWorkingDir() {}
  virtual void DORVEL_STDCALL Unused23_ManageCache() {}
  virtual void DORVEL_STDCALL Unused24_PlanarChromaAlignment() {}
  virtual void DORVEL_STDCALL Unused25_SubframePlanar() {}
  virtual void DORVEL_STDCALL Unused26_DeleteScriptEnvironment() {}
  virtual void DORVEL_STDCALL Unused27_ApplyMessage() {}
  virtual void DORVEL_STDCALL Unused28_GetAVSLinkage() {}
  virtual void DORVEL_STDCALL Unused29_GetVarDef() {}
  virtual void DORVEL_STDCALL Unused30_SubframePlanarA() {}
  virtual void DORVEL_STDCALL Unused31_copyFrameProps() {}
  virtual void DORVEL_STDCALL Unused32_getFramePropsRO() {}
  virtual void DORVEL_STDCALL Unused33_getFramePropsRW() {}
  virtual void DORVEL_STDCALL Unused34_propNumKeys() {}
  virtual void DORVEL_STDCALL Unused35_propGetKey() {}
  virtual void DORVEL_STDCALL Unused36_propNumElements() {}
  virtual void DORVEL_STDCALL Unused37_propGetType() {}
  virtual void DORVEL_STDCALL Unused38_propGetInt() {}
  virtual void DORVEL_STDCALL Unused39_propGetFloat() {}
  virtual void DORVEL_STDCALL Unused40_propGetData() {}
  virtual void DORVEL_STDCALL Unused41_propGetDataSize() {}
  virtual void DORVEL_STDCALL Unused42_propGetClip() {}
  virtual void DORVEL_STDCALL Unused43_propGetFrame() {}
  virtual void DORVEL_STDCALL Unused44_propDeleteKey() {}
  virtual void DORVEL_STDCALL Unused45_propSetInt() {}
  virtual void DORVEL_STDCALL Unused46_propSetFloat() {}
  virtual void DORVEL_STDCALL Unused47_propSetData() {}
  virtual void DORVEL_STDCALL Unused48_propSetClip() {}
  virtual void DORVEL_STDCALL Unused49_propSetFrame() {}
  virtual void DORVEL_STDCALL Unused50_propGetIntArray() {}
  virtual void DORVEL_STDCALL Unused51_propGetFloatArray() {}
  virtual void DORVEL_STDCALL Unused52_propSetIntArray() {}
  virtual void DORVEL_STDCALL Unused53_propSetFloatArray() {}
  virtual void DORVEL_STDCALL Unused54_createMap() {}
  virtual void DORVEL_STDCALL Unused55_freeMap() {}
  virtual void DORVEL_STDCALL Unused56_clearMap() {}
  virtual void DORVEL_STDCALL Unused57_NewVideoFrameP() {}
  // Entry 58: one of the host's own figures, named by a number (AviSynth+
  // 3.6 and later; interface version 8).
  virtual size_t DORVEL_STDCALL GetEnvProperty(int property) = 0;
};

// The entry function a plugin exports and the host looks up after loading.
typedef const char*(DORVEL_STDCALL* PluginInitFunc)(IScriptEnvironment* env, const AVS_Linkage* const vectors);

// Pins entry k of the linkage table where the host has it.
#define DORVEL_PIN_ENTRY(entry, k) \
  static_assert(offsetof(AVS_Linkage, entry) == host_layout::Entry(k), #entry " is entry " #k " on " DORVEL_TARGET)

// Binary layout, as the host has it on the target being built.
struct HostLayoutCheck {
  static constexpr size_t kPointer = host_layout::kPointer;

  static_assert(sizeof(void*) == kPointer, "pointer size of " DORVEL_TARGET);

  static_assert(sizeof(VideoInfo) == 48, "VideoInfo size");
  static_assert(offsetof(VideoInfo, width) == 0, "VideoInfo::width");
  static_assert(offsetof(VideoInfo, height) == 4, "VideoInfo::height");
  static_assert(offsetof(VideoInfo, fps_numerator) == 8, "VideoInfo::fps_numerator");
  static_assert(offsetof(VideoInfo, fps_denominator) == 12, "VideoInfo::fps_denominator");
  static_assert(offsetof(VideoInfo, num_frames) == 16, "VideoInfo::num_frames");
  static_assert(offsetof(VideoInfo, pixel_type) == 20, "VideoInfo::pixel_type");
  static_assert(offsetof(VideoInfo, audio_samples_per_second) == 24, "VideoInfo::audio_samples_per_second");
  static_assert(offsetof(VideoInfo, sample_type) == 28, "VideoInfo::sample_type");
  static_assert(offsetof(VideoInfo, num_audio_samples) == 32, "VideoInfo::num_audio_samples");
  static_assert(offsetof(VideoInfo, nchannels) == 40, "VideoInfo::nchannels");
  static_assert(offsetof(VideoInfo, image_type) == 44, "VideoInfo::image_type");

  static_assert(sizeof(AVSValue) == 2 * kPointer, "AVSValue size on " DORVEL_TARGET);
  static_assert(offsetof(AVSValue, type) == 0, "AVSValue::type");
  static_assert(offsetof(AVSValue, array_size) == 2, "AVSValue::array_size");
  static_assert(offsetof(AVSValue, clip) == kPointer, "AVSValue union on " DORVEL_TARGET);
  static_assert(sizeof(PClip) == kPointer, "PClip size");
  static_assert(sizeof(PVideoFrame) == kPointer, "PVideoFrame size");
  static_assert(sizeof(IClip) == 2 * kPointer, "IClip size: vtable pointer and count");
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
  static_assert(offsetof(IClip, refcnt) == kPointer, "IClip reference count");
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#endif

  static_assert(sizeof(void(PClip::*)()) == host_layout::kEntry, "a linkage entry on " DORVEL_TARGET);
  static_assert(sizeof(void(AVSValue::*)()) == host_layout::kEntry, "a linkage entry on " DORVEL_TARGET);
  static_assert(sizeof(void(VideoInfo::*)()) == host_layout::kEntry, "a linkage entry on " DORVEL_TARGET);
  static_assert(offsetof(AVS_Linkage, Size) == 0, "AVS_Linkage::Size");
  DORVEL_PIN_ENTRY(videoHasVideo, 0);
  DORVEL_PIN_ENTRY(videoHasAudio, 1);
  DORVEL_PIN_ENTRY(videoIsYV12, 9);
  DORVEL_PIN_ENTRY(videoBytesPerAudioSample, 31);
  DORVEL_PIN_ENTRY(videoBytesPerChannelSample, 38);
  DORVEL_PIN_ENTRY(videoIsSameColorspace, 41);
  DORVEL_PIN_ENTRY(frameBufferQueries, 42);
  DORVEL_PIN_ENTRY(videoFrameQueries, 47);
  DORVEL_PIN_ENTRY(clipInit, 56);
  DORVEL_PIN_ENTRY(clipRelease, 61);
  DORVEL_PIN_ENTRY(frameInit, 62);
  DORVEL_PIN_ENTRY(frameRelease, 67);
  DORVEL_PIN_ENTRY(valueInitUndefined, 68);
  DORVEL_PIN_ENTRY(valueInitArray, 76);
  DORVEL_PIN_ENTRY(valueCopy, 77);
  DORVEL_PIN_ENTRY(valueRelease, 78);
  DORVEL_PIN_ENTRY(valueAssign, 79);
  DORVEL_PIN_ENTRY(valueIndex, 80);
  DORVEL_PIN_ENTRY(valueIsString, 86);
  DORVEL_PIN_ENTRY(valueIsArray, 87);
  DORVEL_PIN_ENTRY(valueAsClip, 88);
  DORVEL_PIN_ENTRY(valueAsInt, 90);
  DORVEL_PIN_ENTRY(valueAsString, 91);
  DORVEL_PIN_ENTRY(valueArraySize, 98);
  DORVEL_PIN_ENTRY(valueIsLong, 99);
#undef DORVEL_PIN_ENTRY
  static_assert(sizeof(AVS_Linkage) == host_layout::Entry(104), "AVS_Linkage up to the version 11 additions");
  static_assert(sizeof(AVS_Linkage) == host_layout::kTableEnd, "the table's end as the host has it on " DORVEL_TARGET);
};
