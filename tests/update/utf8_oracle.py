#!/usr/bin/env python3
"""Prints random byte strings and what Python's strict UTF-8 codec makes of them.

Each line: <hex bytes> <space> ERR | <hex code points joined by ','> (empty input: '-').
The mix favours lead bytes, continuation bytes and the boundary values where
decoders go wrong (overlongs, surrogates, values past U+10FFFF)."""
import random
import sys

seed, count = int(sys.argv[1]), int(sys.argv[2])
rng = random.Random(seed)
tricky = [0x00, 0x7F, 0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF,
          0xF0, 0xF4, 0xF5, 0xF7, 0xF8, 0xFF, 0x9F, 0xA0, 0x8F, 0x90]

def sample():
    kind = rng.random()
    if kind < 0.3:
        # a valid character, sometimes cut short
        cp = rng.choice([rng.randrange(0x80), rng.randrange(0x80, 0x800),
                         rng.randrange(0x800, 0x10000), rng.randrange(0x10000, 0x110000)])
        try:
            data = chr(cp).encode("utf-8")
        except UnicodeEncodeError:
            data = chr(cp).encode("utf-8", "surrogatepass")
        if rng.random() < 0.3:
            data = data[:rng.randrange(len(data) + 1)]
        return data
    n = rng.randrange(1, 6)
    return bytes(rng.choice(tricky) if rng.random() < 0.7 else rng.randrange(256) for _ in range(n))

for _ in range(count):
    data = b"".join(sample() for _ in range(rng.randrange(1, 4)))
    try:
        text = data.decode("utf-8", "strict")
        verdict = ",".join("%x" % ord(c) for c in text) or "-"
    except UnicodeDecodeError:
        verdict = "ERR"
    print(data.hex(), verdict)
