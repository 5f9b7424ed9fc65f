// Compiled, never run: the host interface under each target's layout rules,
// above all those for which no compiler or C++ library is on the build
// machines (MSVC's, macOS, other processors). clang compiles this file for
// one target of each ABI family and for each processor the host is built for
// (syntax only); the header's own pins then hold under that target's rules,
// and the figures below, written out as the host has them, check that the
// header picks the right family and derives them rightly.
#include "plugin/avisynth_interface.h"

#if defined(_MSC_VER) && defined(_WIN64)
#define DORVEL_EXPECT(msvc64, msvc32, itanium64, itanium32) msvc64
#elif defined(_MSC_VER)
#define DORVEL_EXPECT(msvc64, msvc32, itanium64, itanium32) msvc32
#elif __SIZEOF_POINTER__ == 8
#define DORVEL_EXPECT(msvc64, msvc32, itanium64, itanium32) itanium64
#else  // MinGW x86 and every other 32-bit target
#define DORVEL_EXPECT(msvc64, msvc32, itanium64, itanium32) itanium32
#endif

static_assert(sizeof(void(AVSValue::*)()) == DORVEL_EXPECT(8, 4, 16, 8), "a linkage entry");
static_assert(offsetof(AVS_Linkage, videoBytesPerAudioSample) == DORVEL_EXPECT(256, 128, 504, 252),
              "VideoInfo::BytesPerAudioSample");
static_assert(offsetof(AVS_Linkage, clipInit) == DORVEL_EXPECT(456, 228, 904, 452), "the PClip entries");
static_assert(sizeof(AVS_Linkage) == DORVEL_EXPECT(840, 420, 1672, 836), "the version-11 value entries' end");
static_assert(sizeof(AVSValue) == DORVEL_EXPECT(16, 8, 16, 8), "AVSValue");
static_assert(sizeof(IClip) == DORVEL_EXPECT(16, 8, 16, 8), "IClip");

// The calling conventions the host calls with. Only 32-bit Windows tells
// them apart; elsewhere each pair below is one type, and off Windows the
// keywords do not exist.
#if defined(_WIN32) && !defined(_WIN64)
#define DORVEL_HOST_STDCALL __stdcall
#define DORVEL_HOST_CDECL __cdecl
#elif defined(_WIN32)
#define DORVEL_HOST_STDCALL
#define DORVEL_HOST_CDECL __cdecl
#else
#define DORVEL_HOST_STDCALL
#define DORVEL_HOST_CDECL
#endif
static_assert(__is_same(ApplyFunc, AVSValue(DORVEL_HOST_CDECL*)(AVSValue, void*, IScriptEnvironment*)),
              "the host calls handlers __cdecl");
static_assert(__is_same(PluginInitFunc, const char*(DORVEL_HOST_STDCALL*)(IScriptEnvironment*, const AVS_Linkage*)),
              "the entry function is __stdcall");
static_assert(__is_same(decltype(&IClip::GetFrame),
                        PVideoFrame (DORVEL_HOST_STDCALL IClip::*)(int, IScriptEnvironment*)),
              "a clip's functions are __stdcall");
static_assert(__is_same(decltype(&IScriptEnvironment::Invoke),
                        AVSValue (DORVEL_HOST_STDCALL IScriptEnvironment::*)(const char*, const AVSValue,
                                                                             const char* const*)),
              "an environment's functions are __stdcall");
static_assert(__is_same(ShutdownFunc, void(DORVEL_HOST_CDECL*)(void*, IScriptEnvironment*)),
              "exit callbacks are __cdecl, whatever the environment's own functions are");
static_assert(__is_same(decltype(&IScriptEnvironment::SetMemoryMax),
                        int (DORVEL_HOST_STDCALL IScriptEnvironment::*)(int)),
              "an environment's later functions are __stdcall too");
static_assert(__is_same(decltype(&IScriptEnvironment::GetEnvProperty),
                        size_t (DORVEL_HOST_STDCALL IScriptEnvironment::*)(int)),
              "GetEnvProperty, entry 58, is __stdcall and answers a size_t");
static_assert(__is_same(decltype(&IScriptEnvironment::ThrowError), void (IScriptEnvironment::*)(const char*, ...)),
              "variadic functions keep the default convention");
