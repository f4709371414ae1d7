#!/usr/bin/env python3
"""Reads the demo's stereo WAV back and measures, in the second that ends at
T, how much of each named voice's fundamental is in the left and in the right
channel: an independent look at the file itself.

  wav_check.py MIX.wav T NAME:HZ NAME:HZ

The first voice is expected on the left, the second on the right; the exit
code is 1 when the file says otherwise.
"""
import math
import struct
import sys
import wave


def goertzel_power(samples, rate, hz):
    w = 2 * math.pi * hz / rate
    coeff = 2 * math.cos(w)
    s1 = s2 = 0.0
    for x in samples:
        s1, s2 = x + coeff * s1 - s2, s1
    return (s1 * s1 + s2 * s2 - coeff * s1 * s2) / (len(samples) ** 2 / 4)


def main():
    if len(sys.argv) != 5:
        print(__doc__)
        return 2
    path, t = sys.argv[1], int(sys.argv[2])
    voices = [(v.split(":")[0], float(v.split(":")[1])) for v in sys.argv[3:]]
    with wave.open(path, "rb") as w:
        rate, channels = w.getframerate(), w.getnchannels()
        if channels != 2 or w.getsampwidth() != 2:
            print("wav check: expected 16-bit stereo")
            return 1
        w.setpos((t - 1) * rate)
        frames = w.readframes(rate)
    data = struct.unpack("<%dh" % (len(frames) // 2), frames)
    left = [s / 32768.0 for s in data[0::2]]
    right = [s / 32768.0 for s in data[1::2]]
    sides = []
    print("wav check: %s, second %d-%d s, power at each voice's fundamental" % (path, t - 1, t))
    for name, hz in voices:
        pl, pr = goertzel_power(left, rate, hz), goertzel_power(right, rate, hz)
        ratio = 10 * math.log10((pl + 1e-15) / (pr + 1e-15))
        sides.append(ratio)
        print("  %-5s %5.0f Hz  left %.6f  right %.6f  (left/right %+6.1f dB)" % (name, hz, pl, pr, ratio))
    ok = sides[0] > 0 > sides[1]
    print("  %s" % ("first voice on the left, second on the right" if ok else "NOT on opposite sides"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
