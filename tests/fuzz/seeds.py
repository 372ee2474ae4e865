#!/usr/bin/env python3
"""Writes seed inputs for the fuzz targets into OUT/<target>/.

  --synthetic      small inputs built from field values (these are committed as corpus/)
  --disc DIR       a disc folder (a fixture or a built sample): its navigation files, the first
                   packets of its stream and, when it has one, its analyser report
The index target's input is two bytes giving the index size, the index, then the MovieObject."""

import argparse
import glob
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "robust"))
import synthetic_disc as sd  # noqa: E402

# libFuzzer's default input limit for the stream target (scripts/fuzz passes -max_len).
STREAM_SEED_BYTES = 192 * 40


def index_input(index, movie_object):
    return struct.pack(">H", len(index)) + index + movie_object


def put(out, target, name, data):
    folder = os.path.join(out, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def synthetic(out):
    put(out, "index", "plain", index_input(sd.index_bdmv(), sd.movie_object_bdmv()))
    block = bytes.fromhex("000000200000001800000001000300010000001800"
                          "00000C000000085100030000000000")
    put(out, "index", "has-extension", index_input(sd.index_bdmv(extension_address=0x78,
                                                                 trailing=block),
                                                   sd.movie_object_bdmv()))
    foreign = bytes.fromhex("000000240000001800000001000100020000001800000010") + bytes(16)
    put(out, "index", "foreign-extension",
        index_input(sd.index_bdmv(extension_address=0x78, trailing=foreign),
                    sd.movie_object_bdmv()))
    put(out, "index", "cut-after-append", index_input(sd.index_bdmv(trailing=block),
                                                      sd.movie_object_bdmv()))
    put(out, "index", "short", index_input(b"INDX0200\0\0\0", b"MOBJ"))

    put(out, "playlist", "one-item", sd.mpls())
    put(out, "playlist", "two-items", sd.mpls([sd.play_item(), sd.play_item(video_format=0x41)]))
    put(out, "playlist", "three-angles", sd.mpls([sd.play_item(angles=3)]))
    put(out, "playlist", "already-uhd", sd.mpls([sd.play_item(video_type=0x24, video_format=0x81)]))
    put(out, "playlist", "no-video", sd.mpls([sd.play_item(video_streams=0)]))
    put(out, "playlist", "no-items", sd.mpls([]))
    uhd = bytes.fromhex("000000380000001800000001000300050000001800000024"
                        "000000200100000010000000") + bytes(24)
    end = len(sd.mpls())
    put(out, "playlist", "has-extension", sd.mpls(extension_address=end, trailing=uhd))
    put(out, "playlist", "foreign-extension", sd.mpls(extension_address=end, trailing=foreign))

    put(out, "clipinfo", "video-audio", sd.clpi())
    put(out, "clipinfo", "audio-first", sd.clpi([(0x1100, 0x81, 0x61), (0x1011, 0x06, 0x61)]))
    put(out, "clipinfo", "format-4", sd.clpi([(0x1011, 0x06, 0x41)]))
    put(out, "clipinfo", "already-uhd", sd.clpi([(0x1011, 0x24, 0x81)]))
    put(out, "clipinfo", "no-streams", sd.clpi([]))

    group = sd.stream_group(1, packets=30)
    put(out, "stream", "group", group)
    put(out, "stream", "group-partial-tail", group[:192 * 12] + b"\x47\x00\x01")
    section = sd.pmt_section(extra_streams=12)
    put(out, "stream", "pmt-before-pat",
        b"".join(sd.pmt_packets(section, [1, 2, 3])) + sd.pat_packet() +
        b"".join(sd.pmt_packets(section, [4, 5, 6])))
    put(out, "stream", "video-only",
        sd.video_packet(0, pes_start=True) + sd.video_packet(1, pes_start=True, adaptation=True) +
        sd.video_packet(2))

    put(out, "report", "hdr", sd.REPORT.encode())
    put(out, "report", "crlf", sd.REPORT.replace("\n", "\r\n").encode())
    put(out, "report", "odd-lines",
        b"ID : 1\nID                                       : 99999999999\n"
        b"Codec ID                                 : v_mpegh/iso/hevc\n"
        b"Mastering display luminance              : min: 9.9999 cd/m2\n"
        b"Duration                                 : 1 h 52 mn\nFrame rate  : 3\n"
        b"Width                                    : 3\n\xff\xfe\x00junk\nno line end")


def from_disc(out, disc, label):
    def first(pattern):
        found = sorted(glob.glob(os.path.join(disc, pattern)))
        return found[0] if found else None

    def read(path, limit=None):
        with open(path, "rb") as f:
            return f.read(limit) if limit else f.read()

    index, movie = first("BDMV/index.bdmv"), first("BDMV/MovieObject.bdmv")
    if index and movie:
        put(out, "index", label, index_input(read(index), read(movie)))
    for target, pattern in (("playlist", "BDMV/PLAYLIST/*.[mM][pP][lL][sS]"),
                            ("clipinfo", "BDMV/CLIPINF/*.[cC][lL][pP][iI]")):
        path = first(pattern)
        if path:
            put(out, target, label, read(path))
    stream = first("BDMV/STREAM/*.[mM]2[tT][sS]")
    if stream:
        data = read(stream, STREAM_SEED_BYTES * 4)
        put(out, "stream", label, data[:STREAM_SEED_BYTES])
        put(out, "stream", label + "-later", data[STREAM_SEED_BYTES:STREAM_SEED_BYTES * 2])
    report = first("mediainfo.txt")
    if report:
        put(out, "report", label, read(report))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--synthetic", action="store_true")
    parser.add_argument("--disc", action="append", default=[])
    args = parser.parse_args()
    if args.synthetic:
        synthetic(args.out)
    for disc in args.disc:
        if os.path.isdir(disc):
            from_disc(args.out, disc, os.path.basename(os.path.normpath(disc)))


if __name__ == "__main__":
    main()
