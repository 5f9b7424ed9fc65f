#!/usr/bin/env python3
"""Loads an AviSynth script in the AviSynth+ host, as script_frames.py does,
and writes the whole of its audio to standard output as raw interleaved
samples, in one pass from the first sample to the last, in the form that
ffmpeg's -f names (u8, s16le, s24le, s32le or f32le); that name goes first
to standard error on a line of its own: "format=s16le rate=48000 channels=2".

    script_audio.py SCRIPT.avs | ffmpeg -f s16le -ar 48000 -ac 2 -i - audio.flac

A script that does not load, or has no audio, exits 1; a host that cannot
be found exits 2."""
import ctypes
import sys

from script_frames import run_on_script

# The host's sample types, by their code, as ffmpeg names them, and their size in bytes.
FORMATS = {1: ("u8", 1), 2: ("s16le", 2), 4: ("s24le", 3), 8: ("s32le", 4), 16: ("f32le", 4)}
BLOCK_SAMPLES = 1 << 16


def main():
    return run_on_script("script_audio.py SCRIPT.avs >AUDIO.raw", write_audio)


def write_audio(host, clip, path):
    vi = host.avs_get_video_info(clip).contents
    if vi.audio_samples_per_second == 0 or vi.num_audio_samples <= 0:
        sys.stderr.write(f"{path}: the script has no audio\n")
        return 1
    if vi.sample_type not in FORMATS:
        sys.stderr.write(f"{path}: unknown audio sample type {vi.sample_type}\n")
        return 1
    name, size = FORMATS[vi.sample_type]
    sys.stderr.write(f"format={name} rate={vi.audio_samples_per_second} channels={vi.nchannels}\n")
    sys.stderr.flush()
    frame_bytes = size * vi.nchannels
    buffer = ctypes.create_string_buffer(BLOCK_SAMPLES * frame_bytes)
    out = sys.stdout.buffer
    start = 0
    while start < vi.num_audio_samples:
        count = min(BLOCK_SAMPLES, vi.num_audio_samples - start)
        if host.avs_get_audio(clip, buffer, start, count) != 0:
            error = host.avs_clip_get_error(clip)
            message = error.decode(errors="replace") if error else "the host gave no audio"
            sys.stderr.write(f"{path}: audio from sample {start}: {message}\n")
            return 1
        out.write(buffer.raw[:count * frame_bytes])
        start += count
    out.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
