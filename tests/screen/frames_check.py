#!/usr/bin/env python3
"""Screen frames checked by a second, independent implementation: Python's own zlib.

Frames our encoder writes are parsed and inflated here from the byte layout alone and must give
the picture back; frames made here (other zlib levels, other tile sizes, a broken tile) must be
decoded by our decoder to the pixels this script expects.

Usage: frames_check.py SCREEN_FRAMES_PROGRAM   (exit status 0 when every check holds)
"""
import atexit
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

PROGRAM = sys.argv[1]
TMP = tempfile.mkdtemp(prefix="screen-frames-")
atexit.register(shutil.rmtree, TMP, True)
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what)


def picture(w, h, seed):
    """Flat runs and noise, bottom row first as frames want; 3 bytes a pixel."""
    rnd = random.Random(seed)
    return bytes(rnd.randrange(256) if (i // 50) % 3 == 0 else (i // 200) & 0xFF
                 for i in range(w * h * 3))


def tile_rect(w, h, ts, col, row):
    x0, y0 = col * ts, row * ts
    return x0, y0, min(ts, w - x0), min(ts, h - y0)


def tile_raw(px, w, h, ts, col, row):
    x0, y0, tw, th = tile_rect(w, h, ts, col, row)
    return b"".join(px[((h - 1 - y) * w + x0) * 3:((h - 1 - y) * w + x0 + tw) * 3]
                    for y in range(y0, y0 + th))


def decode(frame, start):
    """Our own reading of the layout: returns (w, h, ts, type, [(col, row)], pixels)."""
    w, h, ts, kind, count = struct.unpack_from("<HHBBH", frame, 0)
    px = bytearray(start)
    pos, seen = 8, []
    for _ in range(count):
        col, row, n = struct.unpack_from("<HHi", frame, pos)
        pos += 8
        d = zlib.decompressobj()
        raw = d.decompress(frame[pos:pos + n])
        pos += n
        x0, y0, tw, th = tile_rect(w, h, ts, col, row)
        check(d.eof and len(raw) == tw * th * 3, f"tile ({col},{row}) is a whole zlib stream of its size")
        seen.append((col, row))
        for k in range(th):
            at = ((h - 1 - (y0 + k)) * w + x0) * 3
            px[at:at + tw * 3] = raw[k * tw * 3:(k + 1) * tw * 3]
    check(pos == len(frame), "the records end where the frame ends")
    return w, h, ts, kind, seen, bytes(px)


def run(*args):
    return subprocess.run([PROGRAM, *map(str, args)], check=False).returncode


def put(name, data):
    path = os.path.join(TMP, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def get(path):
    with open(path, "rb") as f:
        return f.read()


def encoded(w, h, kind, current, previous=None):
    args = [put("cur", current)] + ([put("prev", previous)] if previous else [])
    check(run("encode", w, h, kind, os.path.join(TMP, "frame"), *args) == 0, "encode ran")
    return get(os.path.join(TMP, "frame"))


def our_decode(frame, start):
    out = os.path.join(TMP, "out")
    status = run("decode", put("in.frame", frame), put("start", start), out)
    return status, (get(out) if status == 0 else None)


def frame_bytes(w, h, ts, kind, records):
    body = b"".join(struct.pack("<HHi", c, r, len(s)) + s for c, r, s in records)
    return struct.pack("<HHBBH", w, h, ts, kind, len(records)) + body


# Our frames, read here.
for w, h in [(1, 1), (66, 2), (130, 70), (1366, 40)]:
    name = f"{w}x{h}"
    cur = picture(w, h, w * 7 + h)
    cols, rows = (w + 63) // 64, (h + 63) // 64
    fw, fh, ts, kind, seen, px = decode(encoded(w, h, 0, cur), bytes(len(cur)))
    check((fw, fh, ts, kind) == (w, h, 64, 0), f"{name}: key frame header")
    check(seen == [(c, r) for r in range(rows) for c in range(cols)], f"{name}: every tile, row-major")
    check(px == cur, f"{name}: key frame inflates to the picture")

    new = bytearray(cur)
    new[0] ^= 1                 # bottom-left pixel: tile (0, rows - 1)
    new[-1] ^= 1                # top-right pixel: tile (cols - 1, 0)
    new = bytes(new)
    changed = sorted({(cols - 1, 0), (0, rows - 1)}, key=lambda t: (t[1], t[0]))
    _, _, _, kind, seen, px = decode(encoded(w, h, 1, new, cur), cur)
    check(kind == 1 and seen == changed, f"{name}: delta carries exactly the changed tiles")
    check(px == new, f"{name}: delta onto the previous picture gives the new one")
    check(encoded(w, h, 1, cur, cur) == struct.pack("<HHBBH", w, h, 64, 1, 0),
          f"{name}: unchanged delta is 8 bytes")

# Frames made here, read by us.
for w, h, ts, level in [(130, 70, 64, 0), (130, 70, 64, 9), (100, 45, 32, 1), (23, 11, 7, 6)]:
    name = f"{w}x{h} tiles of {ts}, zlib level {level}"
    px = picture(w, h, ts + level)
    records = [(c, r, zlib.compress(tile_raw(px, w, h, ts, c, r), level))
               for r in range((h + ts - 1) // ts) for c in range((w + ts - 1) // ts)]
    status, out = our_decode(frame_bytes(w, h, ts, 0, records), bytes(len(px)))
    check(status == 0 and out == px, f"{name}: decoded to the picture")

# A broken first tile is skipped, the next one applied; a 7-byte frame is refused.
w, h = 128, 64
px = picture(w, h, 99)
good = zlib.compress(tile_raw(px, w, h, 64, 1, 0))
broken = zlib.compress(tile_raw(px, w, h, 64, 0, 0) + b"\x00")
status, out = our_decode(frame_bytes(w, h, 64, 1, [(0, 0, broken), (1, 0, good)]), b"\x11" * len(px))
expected = b"".join(b"\x11" * 192 + px[y * 384 + 192:(y + 1) * 384] for y in range(h))
check(status == 0 and out == expected, "broken tile skipped, following tile applied")
check(our_decode(frame_bytes(w, h, 64, 0, [])[:7], px)[0] == 1, "7-byte frame refused")

print(f"{len(failures)} failure(s)")
sys.exit(1 if failures else 0)
