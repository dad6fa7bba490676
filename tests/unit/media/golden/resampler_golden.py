#!/usr/bin/python3
"""Golden values of the 48000 -> 44100 Hz stream resampler, written independently of the C++ code
from the resampler's definition, with numpy's float32 arithmetic.

Input: three chunks of 1024 stereo frames, sample k of chunk c (interleaved index k):
    x = float32(((k * 37 + c * 11) % 2003 - 1001) / 1000.0)   (values in [-1.001, 1.001])
Output: per chunk, the frame count, the first 4 and the last 2 output frames as s16, and two
checksums over all s16 samples of the chunk: sum(s) and sum((j + 1) * s) with j the sample index.
"""
import numpy as np

STEP = 48000 / 44100


def to_s16(v):
    v = np.float32(v)
    if np.isnan(v):
        return 0
    v = np.float32(min(max(v, np.float32(-1.0)), np.float32(1.0)))
    m = np.float32(v * np.float32(32767.0))
    r = int(np.floor(abs(float(m)) + 0.5))
    return r if m >= 0 else -r


def chunk_input(c):
    k = np.arange(2048)
    return (((k * 37 + c * 11) % 2003 - 1001) / 1000.0).astype(np.float32)


def main():
    pos = 0.0
    prev = (np.float32(0.0), np.float32(0.0))
    for c in range(3):
        x = chunk_input(c)
        frames = len(x) // 2
        out = []
        p = pos
        while p < frames:
            i = int(np.floor(p))
            f = np.float32(p - i)
            l0, r0 = prev if i == 0 else (x[2 * (i - 1)], x[2 * (i - 1) + 1])
            l1, r1 = x[2 * i], x[2 * i + 1]
            left = np.float32(l0 + np.float32(np.float32(l1 - l0) * f))
            right = np.float32(r0 + np.float32(np.float32(r1 - r0) * f))
            out += [to_s16(left), to_s16(right)]
            p += STEP
        pos = p - frames
        prev = (x[-2], x[-1])
        s = sum(out)
        w = sum((j + 1) * v for j, v in enumerate(out))
        print(f"{{{len(out) // 2}, {{{', '.join(map(str, out[:8]))}}}, {{{', '.join(map(str, out[-4:]))}}}, {s}, {w}}},")


if __name__ == "__main__":
    main()
