#!/usr/bin/env python3
"""Writes the hand-made seeds of the fuzz corpora: tests/fuzz/corpus/<target>/seed-*.

Each seed is a message as a peer sends it, well-formed or cut at an edge, so that fuzzing
starts from every kind of message instead of having to find the layouts by chance. Files the
fuzzer added (named by their SHA-1) are left alone. Run it again after changing a seed here.
"""
import hashlib
import hmac
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def le16(v):
    return struct.pack("<H", v)


def le32(v):
    return struct.pack("<I", v)


def le64(v):
    return struct.pack("<Q", v)


def day(v):
    return struct.pack("<d", v)


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(data)


# ---- discovery datagram: "PNDR", kind, day count, TCP port, name length, name ----

def datagram(kind, name, port=7732, utc=45000.5, length=None):
    name = name.encode() if isinstance(name, str) else name
    n = len(name) if length is None else length
    return b"PNDR" + bytes([kind]) + day(utc) + le16(port) + bytes([n]) + name


OWN_WIRE_NAME = b"fuzz-own-name-" + b"o" * 241  # DatagramFuzz's own name, cut to 255 bytes

write("Datagram", "announce", datagram(1, "wren"))
write("Datagram", "reply", datagram(2, "wren", port=40001))
write("Datagram", "goodbye", datagram(3, "wren"))
write("Datagram", "empty-name", datagram(1, ""))
write("Datagram", "longest-name", datagram(1, "n" * 255))
write("Datagram", "utf8-name", datagram(2, "caf\u00e9-\u00fc"))
write("Datagram", "own-echo", datagram(1, OWN_WIRE_NAME))
write("Datagram", "trailing-bytes", datagram(1, "wren") + b"\x00extra")
write("Datagram", "name-cut-short", datagram(1, "wren", length=10))
write("Datagram", "header-cut-short", datagram(1, "")[:15])
write("Datagram", "kind-0", datagram(0, "wren"))
write("Datagram", "kind-4", datagram(4, "wren"))
write("Datagram", "bad-magic", b"PNDX" + datagram(1, "wren")[4:])
write("Datagram", "nan-time", b"PNDR\x01" + le64(0x7FF8000000000001) + le16(1) + b"\x01x")


# ---- keyed discovery datagram: "PNDK", the same fields, a 16-byte HMAC-SHA256 tag ----
# KeyedDatagramFuzz tags every input itself as well, so most seeds are the signed part alone;
# the "tagged" ones carry the tag of the target's key (01 02 .. 20) and are valid as they are.

FUZZ_KEY = bytes(range(1, 33))
OUR_DAY = 45000.5  # KeyedDatagramFuzz's clock


def keyed(kind, name, utc=OUR_DAY, port=7732, length=None):
    return b"PNDK" + datagram(kind, name, port, utc, length)[4:]


def tagged(body):
    return body + hmac.new(FUZZ_KEY, body, hashlib.sha256).digest()[:16]


write("KeyedDatagram", "announce", keyed(1, "wren"))
write("KeyedDatagram", "reply", keyed(2, "wren", port=40001))
write("KeyedDatagram", "goodbye", keyed(3, "wren"))
write("KeyedDatagram", "announce-tagged", tagged(keyed(1, "wren")))
write("KeyedDatagram", "goodbye-tagged", tagged(keyed(3, "")))
write("KeyedDatagram", "stale-31s", keyed(1, "wren", utc=OUR_DAY - 31 / 86400))
write("KeyedDatagram", "ahead-29s", keyed(2, "wren", utc=OUR_DAY + 29 / 86400))
write("KeyedDatagram", "own-name", keyed(1, "fuzz-self"))
write("KeyedDatagram", "longest-name", keyed(1, "n" * 255))
write("KeyedDatagram", "name-cut-short", keyed(1, "wren", length=10))
write("KeyedDatagram", "plain-announce", datagram(1, "wren"))
write("KeyedDatagram", "nan-time", b"PNDK\x01" + le64(0x7FF8000000000001) + le16(1) + b"\x01x")
write("Datagram", "port-0-inf-time", datagram(1, "zero", port=0, utc=float("inf")))
# Several peers in one input: each "PNDR" starts the next datagram.
write("Datagram", "sequence",
      datagram(1, "alpha") + datagram(1, "beta", port=1) + datagram(2, "alpha", port=2)
      + datagram(3, "beta") + datagram(1, "gamma") + datagram(2, "gamma")
      + datagram(2, "gamma") + datagram(2, "gamma") + datagram(2, "gamma")
      + datagram(3, "alpha"))


# ---- file list: count, then per entry path length, path, size, day count, 64-byte hash ----

def record(path, size=0, utc=45000.5, sha=b""):
    path = path.encode() if isinstance(path, str) else path
    return le16(len(path)) + path + le64(size) + day(utc) + sha.ljust(64, b"\x00")[:64]


HASH = b"0123456789abcdef" * 4
write("FileList", "empty", le32(0))
write("FileList", "two-entries",
      le32(2) + record("readme.txt", 48, 45000.5, HASH) + record("sub/notes.md", 21, 45001.25))
write("FileList", "count-larger-than-records", le32(3) + record("a") + record("b"))
write("FileList", "cut-in-hash", (le32(1) + record("readme.txt", 1, sha=HASH))[:60])
write("FileList", "cut-in-path-length", le32(2) + record("a") + b"\x05")
write("FileList", "padded-hash",
      le32(1) + record("x", sha=b"  \t" + HASH[:40] + b" \x01\x1f"))
write("FileList", "odd-paths",
      le32(3) + record("win\\dir\\f.txt") + record("caf\u00e9/\u00fc.txt") + record(""))
write("FileList", "count-0-with-bytes", le32(0) + record("ignored"))
write("FileList", "too-short", b"\x01\x00\x00")
write("FileList", "huge-count", le32(0xFFFFFFFF) + record("only"))


# ---- server requests: type byte, then what that type carries ----

def path_request(kind, path, length=None):
    path = path.encode() if isinstance(path, str) else path
    return bytes([kind]) + le16(len(path) if length is None else length) + path


write("ServerRequest", "empty", b"")
write("ServerRequest", "t1-file-list", b"\x01")
write("ServerRequest", "t1-file-list-junk-after", b"\x01" + b"junk" * 16)
write("ServerRequest", "t2-file", path_request(2, "readme.txt"))
write("ServerRequest", "t2-deep-file", path_request(2, "sub/deeper/data.bin"))
write("ServerRequest", "t2-backslashes", path_request(2, "sub\\deeper\\data.bin"))
write("ServerRequest", "t2-utf8-file", path_request(2, "caf\u00e9.txt"))
write("ServerRequest", "t2-empty-file", path_request(2, "empty.bin"))
write("ServerRequest", "t2-missing", path_request(2, "missing.txt"))
write("ServerRequest", "t2-folder", path_request(2, "sub"))
write("ServerRequest", "t2-fifo", path_request(2, "pipe"))
write("ServerRequest", "t2-empty-path", path_request(2, ""))
write("ServerRequest", "t2-leading-slash", path_request(2, "/readme.txt"))
write("ServerRequest", "t2-climb-out", path_request(2, "../outside.txt"))
write("ServerRequest", "t2-nul", path_request(2, "readme.txt\x00.jpg"))
write("ServerRequest", "t2-longest-path", path_request(2, "a" * 4096))
write("ServerRequest", "t2-path-too-long", path_request(2, b"", length=4097))
write("ServerRequest", "t2-path-cut-short", path_request(2, "read", length=10))
write("ServerRequest", "t2-length-cut-short", b"\x02\x05")
write("ServerRequest", "t2-file-junk-after", path_request(2, "readme.txt") + b"\xff" * 32)
write("ServerRequest", "t3-delete", path_request(3, "sub/notes.md"))
write("ServerRequest", "t3-empty-path", path_request(3, ""))
write("ServerRequest", "t3-climb-out", path_request(3, "sub/../../x"))
write("ServerRequest", "t3-path-too-long", path_request(3, b"", length=4097))
write("ServerRequest", "t3-path-cut-short", path_request(3, "ab", length=3))
write("ServerRequest", "t4-changes", b"\x04")
write("ServerRequest", "t4-changes-junk-after", b"\x04\x00\x01\x02")
write("ServerRequest", "t5-clipboard", b"\x05" + le32(5) + b"hello")
write("ServerRequest", "t5-empty-text", b"\x05" + le32(0))
write("ServerRequest", "t5-text-too-long", b"\x05" + le32(104857601) + b"x")
write("ServerRequest", "t5-text-cut-short", b"\x05" + le32(9) + b"hel")
write("ServerRequest", "t5-length-cut-short", b"\x05\x01\x00")
write("ServerRequest", "t6-frame", b"\x06" + le16(4) + b"wren" + le32(6) + b"pixels")
write("ServerRequest", "t6-longest-name", b"\x06" + le16(256) + b"n" * 256 + le32(1) + b"p")
write("ServerRequest", "t6-name-too-long", b"\x06" + le16(257) + b"n" * 257 + le32(1) + b"p")
write("ServerRequest", "t6-empty-payload", b"\x06" + le16(0) + le32(0))
write("ServerRequest", "t6-payload-too-long", b"\x06" + le16(0) + le32(52428801) + b"p")
write("ServerRequest", "t6-payload-cut-short", b"\x06" + le16(1) + b"n" + le32(8) + b"pix")
write("ServerRequest", "type-0", b"\x00" + b"\x01" * 8)
write("ServerRequest", "type-7", b"\x07" + le32(5) + b"hello")
write("ServerRequest", "type-255", b"\xff")


# ---- screen frame: width, height, tile size, frame type, tile count, then per tile column,
# row, signed length and one zlib stream of the tile's raw bytes ----

import zlib


def screen_frame(width, height, records, tile=64, kind=0, count=None):
    body = b"".join(le16(c) + le16(r) + struct.pack("<i", len(s) if n is None else n) + s
                    for c, r, s, n in records)
    n = len(records) if count is None else count
    return le16(width) + le16(height) + bytes([tile, kind]) + le16(n) + body


def tile_bytes(w, h, seed):
    return bytes((seed * 31 + i * 7 + (i // (w * 3)) * 13) & 0xFF for i in range(w * h * 3))


def rec(col, row, raw, length=None, level=-1):
    return (col, row, zlib.compress(raw, level), length)


# A 70 x 20 picture: tile (0,0) is 64 x 20, tile (1,0) is 6 x 20.
T0, T1 = tile_bytes(64, 20, 1), tile_bytes(6, 20, 2)
write("ScreenFrame", "key-two-tiles", screen_frame(70, 20, [rec(0, 0, T0), rec(1, 0, T1)]))
write("ScreenFrame", "delta-one-tile", screen_frame(70, 20, [rec(1, 0, T1)], kind=1))
write("ScreenFrame", "unchanged-delta", screen_frame(1920, 1080, [], kind=1))
write("ScreenFrame", "seven-bytes", screen_frame(70, 20, [])[:7])
write("ScreenFrame", "width-0", screen_frame(0, 20, [rec(0, 0, T0)]))
write("ScreenFrame", "height-0", screen_frame(70, 0, [rec(0, 0, T0)]))
write("ScreenFrame", "tile-size-0", screen_frame(70, 20, [rec(0, 0, T0)], tile=0))
write("ScreenFrame", "tile-size-8",
      screen_frame(10, 9, [rec(c, r, tile_bytes(8 if c == 0 else 2, 8 if r == 0 else 1, c + r))
                           for r in range(2) for c in range(2)], tile=8))
write("ScreenFrame", "last-record-cut-short",
      screen_frame(70, 20, [rec(0, 0, T0), rec(1, 0, T1)])[:-3])
write("ScreenFrame", "record-header-cut-short",
      screen_frame(70, 20, [rec(0, 0, T0)], count=2) + b"\x01\x00\x00")
write("ScreenFrame", "one-byte-more", screen_frame(70, 20, [rec(0, 0, T0 + b"\x00"), rec(1, 0, T1)]))
write("ScreenFrame", "one-byte-less", screen_frame(70, 20, [rec(0, 0, T0[:-1]), rec(1, 0, T1)]))
write("ScreenFrame", "negative-length",
      screen_frame(70, 20, [rec(0, 0, T0), (1, 0, zlib.compress(T1), -1)]))
write("ScreenFrame", "outside-column-and-row",
      screen_frame(70, 20, [rec(2, 0, T1), rec(0, 1, T0), rec(0xFFFF, 0xFFFF, T1), rec(1, 0, T1)]))
write("ScreenFrame", "zlib-bomb", screen_frame(70, 20, [rec(0, 0, bytes(4 << 20), level=9)]))
write("ScreenFrame", "bad-adler",
      screen_frame(70, 20, [(0, 0, zlib.compress(T0)[:-1] + b"\x00", None), rec(1, 0, T1)]))
write("ScreenFrame", "stored-and-trailing",
      screen_frame(70, 20, [(1, 0, zlib.compress(T1, 0) + b"junk", None)]))
write("ScreenFrame", "huge-picture-one-tile",
      screen_frame(65535, 65535, [rec(0, 1023, tile_bytes(64, 63, 3)), rec(1023, 0, T1)]))
# The per-frame budget: a frame whose records name one tile twice is refused whole, unless the
# repeat lies past where the walk stops.
write("ScreenFrame", "tile-listed-twice",
      screen_frame(70, 20, [rec(0, 0, T0), rec(1, 0, T1), rec(0, 0, T0)]))
write("ScreenFrame", "repeat-cut-short",
      screen_frame(70, 20, [rec(0, 0, T0), rec(1, 0, T1), rec(0, 0, T0)])[:-1])
write("ScreenFrame", "one-tile-64-times", screen_frame(70, 20, [rec(1, 0, T1)] * 64))
