#!/usr/bin/env python3
"""Reads an undo record with a reader of its own (not the program's) and gives a disc folder back
the bytes the record holds: the recovery tests check with it that what a cut job left on the
record, together with what it left on the disc, is enough to undo the job.

Record: entries of kind (1 byte), payload length (u32 LE), payload, CRC-32 (u32 LE, over kind,
length and payload); the first entry that is cut short or fails its CRC ends the record."""

import os
import struct
import zlib

PACKET = 192


class Cursor:
    def __init__(self, data):
        self.data, self.at = data, 0

    def byte(self):
        self.at += 1
        return self.data[self.at - 1]

    def varint(self):
        value, shift = 0, 0
        while True:
            b = self.byte()
            value |= (b & 0x7F) << shift
            shift += 7
            if b < 0x80:
                return value

    def blob(self):
        n = self.varint()
        self.at += n
        return self.data[self.at - n:self.at]

    def text(self):
        return self.blob().decode("utf-8")


def entries(path):
    """(kind, payload) of every whole entry."""
    with open(path, "rb") as f:
        data = f.read()
    at = 0
    while len(data) - at >= 9:
        kind, length = data[at], struct.unpack_from("<I", data, at + 1)[0]
        end = at + 5 + length
        if end + 4 > len(data):
            return
        if zlib.crc32(data[at:end]) != struct.unpack_from("<I", data, end)[0]:
            return
        yield chr(kind), data[at + 5:end]
        at = end + 4


def pes_stream_id_index(packet):
    control = (packet[7] & 0x30) >> 4
    start = {1: 8, 3: 9 + packet[8]}.get(control)
    if start is None or start + 3 >= PACKET:
        return None
    return start + 3


def replay(record, disc):
    """Restores `disc` from `record`; raises ValueError when a recorded byte is neither its
    original nor its converted value."""
    streams = {}
    for kind, payload in entries(record):
        c = Cursor(payload)
        if kind == "F":
            c.byte()
            path = os.path.join(disc, c.text())
            existed = c.byte() != 0
            original = c.blob()
            if existed:
                with open(path, "wb") as f:
                    f.write(original)
            elif os.path.exists(path):
                os.remove(path)
        elif kind == "S":
            number = c.varint()
            streams[number] = os.path.join(disc, c.text())
        elif kind == "B":
            stream, start, _ = c.varint(), c.varint(), c.varint()
            pes_count = c.varint()
            pes = Cursor(c.blob())
            sections = c.varint()
            with open(streams[stream], "r+b") as f:
                at = start
                for _ in range(pes_count):
                    at += pes.varint() * PACKET
                    f.seek(at)
                    index = pes_stream_id_index(f.read(PACKET))
                    f.seek(at + index)
                    if f.read(1)[0] not in (0xE0, 0xE1):
                        raise ValueError("PES start at %d is neither E0 nor E1" % at)
                    f.seek(at + index)
                    f.write(b"\xE0")
                last, shape = start, None
                for _ in range(sections):
                    head = c.varint()
                    last += (head >> 1) * PACKET
                    if head & 1:
                        packets = c.varint()
                        back = [c.varint() for _ in range(packets - 1)]
                        count, index, changed = c.varint(), 0, []
                        for k in range(count):
                            index += c.varint() + (0 if k == 0 else 1)
                            changed.append((index, c.byte(), c.byte()))
                        shape = (back, changed)
                    offsets = [last - d * PACKET for d in shape[0]] + [last]
                    for index, original, converted in shape[1]:
                        where = offsets[index // PACKET] + index % PACKET
                        f.seek(where)
                        if f.read(1)[0] not in (original, converted):
                            raise ValueError("section byte at %d is neither" % where)
                        f.seek(where)
                        f.write(bytes([original]))


def only_record(folder, disc=None):
    """The record in `folder` for the disc folder `disc`, picked as the program picks it: the one
    whose recorded path is the disc's, else the only one; None when there is none."""
    if not os.path.isdir(folder):
        return None
    paths = [os.path.join(folder, n) for n in sorted(os.listdir(folder)) if n.endswith(".undo")]
    if len(paths) <= 1:
        return paths[0] if paths else None
    wanted = os.path.realpath(disc) if disc else None
    for path in paths:
        for kind, payload in entries(path):
            c = Cursor(payload)
            c.byte()
            c.text()
            if kind == "H" and c.text() == wanted:
                return path
            break
    raise ValueError("several records in %s and none for %s" % (folder, disc))
