#!/usr/bin/env python3
"""Writes the long seed inputs of fuzz/corpus: sequences of a few hundred calls with parameters in
their sane ranges (so the finite-output check applies), one per twin mode, with the smooth mode off
and on. The byte layout follows the decoder in SurroundEffectFuzzer.cpp (Reader, TakeSamples,
Initialize, Setter); rerun this script after changing it: python3 fuzz/make-seeds.py"""
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


class Seed:
    def __init__(self, twin, smooth):
        self.b = bytearray([twin | (4 if smooth else 0)])

    def byte(self, v):
        self.b.append(v & 0xFF)

    def word(self, v):
        self.b += struct.pack(">I", v & 0xFFFFFFFF)

    def plain_float(self, v):  # AnyFloat: a plain value, int32 / 21474836
        self.byte(100)
        self.word(int(v * 21474836.0))

    def small_int(self, v):  # AnyInt: Range(-20, 30000)
        self.byte(130)
        self.word(v + 20)

    def op(self, slot, kind):
        self.byte((slot << 7) | kind)

    def samples(self, n):  # TakeSamples, short branch
        self.byte(10)
        self.word(n)

    def fill(self, rng):  # Fill: generated signal only
        self.byte(2)
        self.word(rng.getrandbits(32))


def build(twin, smooth, seed, calls):
    rng = random.Random(seed)
    s = Seed(twin, smooth)
    inputs = rng.choice([1, 2])

    def initialize(slot):
        s.op(slot, 20)
        s.byte(inputs - 1)  # channels 1 + how % 2
        s.byte(rng.choice([2, 5, 6]))  # 22050, 44100 or 48000 Hz

    initialize(0)
    initialize(1)
    for _ in range(calls):
        slot = rng.randrange(2)
        r = rng.random()
        if r < 0.35:
            s.op(slot, 23)  # Process
            s.word(inputs)
            s.samples(rng.randrange(1, 600))
            for _ in range(inputs):
                s.fill(rng)
            s.word(rng.getrandbits(32))
            s.word(rng.getrandbits(32))
        elif r < 0.55:
            s.op(slot, 28)  # ProcessPlanar
            s.word(inputs)
            s.word(rng.randrange(13))
            s.samples(rng.randrange(1, 600))
            s.byte(0)
            for _ in range(inputs):
                s.fill(rng)
        else:
            kind = rng.choice([0, 1, 2, 3, 4, 8, 9, 10, 12, 13, 14, 15, 16, 17, 18, 19, 37])
            s.op(slot, kind)
            if kind in (0, 1):
                s.plain_float(rng.uniform(0.0, 2.0))
                s.byte(1)
            elif kind == 2:
                s.small_int(rng.randrange(40, 300))
                s.byte(1)
            elif kind == 3:
                s.plain_float(rng.uniform(2.0, 12.0))
                s.plain_float(rng.uniform(2.0, 12.0))
                s.byte(1)
            elif kind == 4:
                s.plain_float(rng.uniform(0.0, 3.0))
                s.plain_float(rng.uniform(0.0, 3.0))
                s.byte(1)
            elif kind == 9:
                s.small_int(rng.randrange(40, 300))
            elif kind in (8, 10, 12, 13, 37):
                s.byte(rng.randrange(2))
            elif kind in (14, 15):
                s.plain_float(rng.uniform(0.0, 2.0))
            elif kind == 16:
                s.plain_float(rng.uniform(0.05, 0.6))
            elif kind == 17:
                s.plain_float(rng.uniform(0.0, 0.9))
            elif kind == 18:
                s.plain_float(rng.uniform(0.0, 1.0))
            elif kind == 19:
                s.byte(100)  # AnyInt: a speaker bit, 1 << (100 % 11)
                s.plain_float(rng.uniform(0.0, 2.0))
    return bytes(s.b)


def main():
    names = {0: "alone", 1: "same-calls", 2: "other-path", 3: "block-cuts"}
    for twin, name in names.items():
        for smooth in (False, True):
            data = build(twin, smooth, 1000 + 2 * twin + smooth, 220)
            path = os.path.join(HERE, "corpus", "long-%s%s" % (name, "-smooth" if smooth else ""))
            with open(path, "wb") as f:
                f.write(data)
            print(path, len(data), "bytes")


if __name__ == "__main__":
    main()
