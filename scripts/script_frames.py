#!/usr/bin/env python3
"""Loads an AviSynth script in the AviSynth+ host, as x264 does (the host's
libavisynth.so, found the way the system finds libraries, through its C
interface; the script imported by its path, so that its plugins autoload),
and prints its video's description on one line, and its audio's on a second
one when it has audio:

    frames=15000 width=320 height=240 fps=25/1
    audio_rate=48000 channels=2 sample_type=2 samples=28800000

A script that does not load prints the host's message and exits 1; a host
that cannot be found exits 2. With --log, the host's log lines up to its
information level (its SetLogParams level 3) go to FILE, as the script
loads: what the module says about its openings and its description cache.

    script_frames.py [--log FILE] SCRIPT.avs"""
import ctypes
import os
import sys


class Value(ctypes.Structure):
    """The host's C value: a type letter, an array size, and an 8-byte payload
    (a pointer for strings, clips and errors)."""
    _fields_ = [("type", ctypes.c_short), ("array_size", ctypes.c_short), ("payload", ctypes.c_void_p)]


class VideoInfo(ctypes.Structure):
    """The host's video and audio description."""
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("fps_numerator", ctypes.c_uint),
                ("fps_denominator", ctypes.c_uint), ("num_frames", ctypes.c_int), ("pixel_type", ctypes.c_int),
                ("audio_samples_per_second", ctypes.c_int), ("sample_type", ctypes.c_int),
                ("num_audio_samples", ctypes.c_int64), ("nchannels", ctypes.c_int)]


def host_library():
    try:
        host = ctypes.CDLL("libavisynth.so")
    except OSError as error:
        sys.stderr.write(f"cannot load AviSynth+ (libavisynth.so): {error}; install it, or put the folder "
                         "that holds it on LD_LIBRARY_PATH\n")
        sys.exit(2)
    host.avs_create_script_environment.restype = ctypes.c_void_p
    host.avs_create_script_environment.argtypes = [ctypes.c_int]
    host.avs_invoke.restype = Value
    host.avs_invoke.argtypes = [ctypes.c_void_p, ctypes.c_char_p, Value, ctypes.c_void_p]
    host.avs_take_clip.restype = ctypes.c_void_p
    host.avs_take_clip.argtypes = [Value, ctypes.c_void_p]
    host.avs_get_video_info.restype = ctypes.POINTER(VideoInfo)
    host.avs_get_video_info.argtypes = [ctypes.c_void_p]
    host.avs_get_audio.restype = ctypes.c_int
    host.avs_get_audio.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64, ctypes.c_int64]
    host.avs_get_frame.restype = ctypes.c_void_p
    host.avs_get_frame.argtypes = [ctypes.c_void_p, ctypes.c_int]
    host.avs_release_video_frame.argtypes = [ctypes.c_void_p]
    host.avs_clip_get_error.restype = ctypes.c_char_p
    host.avs_clip_get_error.argtypes = [ctypes.c_void_p]
    host.avs_release_clip.argtypes = [ctypes.c_void_p]
    host.avs_release_value.argtypes = [Value]
    host.avs_delete_script_environment.argtypes = [ctypes.c_void_p]
    return host


def string_value(text):
    """The host's string value for `text` (bytes), valid while `text` lives."""
    return Value(ord("s"), 0, ctypes.cast(ctypes.c_char_p(text), ctypes.c_void_p))


def error_text(value):
    return ctypes.cast(value.payload, ctypes.c_char_p).value.decode(errors="replace")


def start_log(host, env, log):
    """Has the host write its log to the file `log` (bytes), up to its
    information level; answers the host's message when it cannot."""
    args = (Value * 2)(string_value(log), Value(ord("i"), 0, 3))
    value = host.avs_invoke(env, b"SetLogParams", Value(ord("a"), 2, ctypes.cast(args, ctypes.c_void_p)), None)
    failed = error_text(value) if value.type == ord("e") else None
    host.avs_release_value(value)
    return failed


def read_first_frame(host, clip, path):
    """Reads the clip's first frame, as a client does before it plays: a
    description cache that lent the load its parts' descriptions learns that
    the load succeeded (a load that serves nothing may have failed
    in the host because of them, and they are dropped), and a part whose
    description is wrong fails here rather than in every chunk."""
    if host.avs_get_video_info(clip).contents.num_frames <= 0:
        return 0
    frame = host.avs_get_frame(clip, 0)
    if frame:
        host.avs_release_video_frame(frame)
        return 0
    error = host.avs_clip_get_error(clip)
    sys.stderr.write(f"{path}: {error.decode(errors='replace') if error else 'its first frame cannot be read'}\n")
    return 1


def run_on_script(usage, on_clip, with_log=False):
    """Imports the script named on the command line in a new environment and
    calls on_clip(host, clip, path), which answers the exit status; a script
    error or a value that is not a clip is reported and answers 1. With
    `with_log`, the command line may begin with --log FILE, which holds what
    the host logged while the script loaded. Then the first frame is read
    (read_first_frame), its log left out."""
    words = sys.argv[1:]
    log = None
    if with_log and len(words) == 3 and words[0] == "--log":
        log, words = os.path.abspath(words[1]).encode(), words[2:]
    if len(words) != 1:
        sys.stderr.write(f"usage: {usage}\n")
        return 2
    path = os.path.abspath(words[0])
    host = host_library()
    env = host.avs_create_script_environment(6)
    if not env:
        sys.stderr.write("AviSynth+ made no script environment\n")
        return 2
    failed = start_log(host, env, log) if log else None
    if failed:
        sys.stderr.write(failed + "\n")
        host.avs_delete_script_environment(env)
        return 2
    encoded = path.encode()
    value = host.avs_invoke(env, b"Import", string_value(encoded), None)
    status = 0
    if value.type == ord("c"):
        clip = host.avs_take_clip(value, env)
        status = on_clip(host, clip, path)
        if status == 0:
            if log:
                start_log(host, env, os.devnull.encode())
            status = read_first_frame(host, clip, path)
        host.avs_release_clip(clip)
    elif value.type == ord("e"):
        sys.stderr.write(error_text(value) + "\n")
        status = 1
    else:
        sys.stderr.write(f"{path}: the script's value is not a clip\n")
        status = 1
    host.avs_release_value(value)
    host.avs_delete_script_environment(env)
    return status


def print_description(host, clip, path):
    vi = host.avs_get_video_info(clip).contents
    if vi.width == 0:
        sys.stderr.write(f"{path}: the script's clip has no video\n")
        return 1
    print(f"frames={vi.num_frames} width={vi.width} height={vi.height} "
          f"fps={vi.fps_numerator}/{vi.fps_denominator}")
    if vi.audio_samples_per_second:
        print(f"audio_rate={vi.audio_samples_per_second} channels={vi.nchannels} "
              f"sample_type={vi.sample_type} samples={vi.num_audio_samples}")
    return 0


def main():
    return run_on_script("script_frames.py [--log FILE] SCRIPT.avs", print_description, with_log=True)


if __name__ == "__main__":
    sys.exit(main())
