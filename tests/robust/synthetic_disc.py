"""Builders for small, well-formed Blu-ray navigation files and transport streams, laid out the
way a muxer writes them, for the fuzz corpora and the recovery tests. Nothing here is read from
elsewhere: every byte comes from the field values below."""

import os
import struct

PACKET_SIZE = 192
VIDEO_PID = 0x1011
AUDIO_PID = 0x1100
PMT_PID = 0x0100
SOURCE_HEVC = 0x06
FORMAT_1080P_23976 = 0x61
CONNECTION_NOT_SEAMLESS = 1
CONNECTION_SEAMLESS = 6  # a later clip of a title the muxer split


def be16(value):
    return struct.pack(">H", value & 0xFFFF)


def be32(value):
    return struct.pack(">I", value & 0xFFFFFFFF)


# --- Navigation files -------------------------------------------------------------------------

def index_bdmv(version=b"0200", extension_address=0, trailing=b""):
    """index.bdmv: marker, indexes address, extension address, app info, one title."""
    app_info = be32(34) + bytes(34)
    indexes = be32(38) + bytes.fromhex("4000000040000002000000004000000040000001") + bytes(18)
    header_size = 40
    body = app_info + indexes
    data = b"INDX" + version + be32(header_size + len(app_info)) + be32(extension_address)
    data += bytes(header_size - len(data)) + body
    return data + trailing


def movie_object_bdmv(version=b"0200"):
    objects = be32(246) + bytes(4) + be16(1) + bytes(240)
    data = b"MOBJ" + version + be32(0) + bytes(28) + objects
    return data


def _stream_table(video_type, video_format, with_audio=True, video_streams=1):
    counts = bytes([video_streams, 1 if with_audio else 0, 0, 0, 0, 0, 0]) + bytes(5)
    entries = b""
    if video_streams:
        entries += bytes([9, 1]) + be16(VIDEO_PID) + bytes(6)
        entries += bytes([5, video_type, video_format, 0, 0, 0])
    if with_audio:
        entries += bytes([9, 1]) + be16(AUDIO_PID) + bytes(6)
        entries += bytes([5, 0x81, 0x61]) + b"eng"
    body = bytes(2) + counts + entries
    return be16(len(body)) + body


def play_item(video_type=SOURCE_HEVC, video_format=FORMAT_1080P_23976, angles=1,
              video_streams=1, clip="00000", connection=CONNECTION_NOT_SEAMLESS):
    """One play item of `clip`, its length field first. angles > 1 makes it multi-angle."""
    multi = angles > 1
    body = clip.encode() + b"M2TS" + bytes([0x00, (0x10 if multi else 0x00) | connection, 0x00])
    body += be32(0x0B43E940) + be32(0x0B44F12F) + bytes(8) + bytes([0, 0]) + be16(0)
    if multi:
        body += bytes([angles, 0])
        for _ in range(angles - 1):
            body += b"00001M2TS" + bytes([0])
    body += _stream_table(video_type, video_format, video_streams=video_streams)
    return be16(len(body)) + body


def mpls(items=None, version=b"0200", extension_address=0, trailing=b""):
    """A playlist: header, app info, play list with the given play items, one mark."""
    if items is None:
        items = [play_item()]
    app_info = be32(14) + bytes(14)
    header_size = 40
    play_list_start = header_size + len(app_info)
    play_list_body = bytes(2) + be16(len(items)) + be16(0) + b"".join(items)
    play_list = be32(len(play_list_body)) + play_list_body
    mark_start = play_list_start + len(play_list)
    marks = be32(16) + be16(1) + bytes([0, 1]) + be16(0) + be32(0x0B43E940) + be16(0xFFFF) + bytes(4)
    data = b"MPLS" + version + be32(play_list_start) + be32(mark_start) + be32(extension_address)
    data += bytes(header_size - len(data)) + app_info + play_list + marks
    return data + trailing


def clpi(streams=None, version=b"0200"):
    """Clip information: header, clip info, sequence info, program info with the streams given as
    (pid, coding type, format byte) and a short CPI block."""
    if streams is None:
        streams = [(VIDEO_PID, SOURCE_HEVC, FORMAT_1080P_23976), (AUDIO_PID, 0x81, 0x61)]
    header_size = 40
    clip_info = be32(0xB0) + bytes(0xB0)
    sequence_start = header_size + len(clip_info)
    sequence = be32(0x16) + bytes([0, 1]) + bytes(4) + bytes([1, 0]) + be16(0x1001) + \
        be32(0x0B43E940) + be32(0x0B44F12F) + bytes(2)
    program_start = sequence_start + len(sequence)
    entries = b""
    for pid, coding_type, fmt in streams:
        info = bytes([coding_type, fmt, 0x30 if coding_type == SOURCE_HEVC else 0]) + bytes(18)
        entries += be16(pid) + bytes([len(info)]) + info
    program_body = bytes([0, 1]) + bytes(4) + be16(0x1001) + bytes([len(streams), 0]) + entries
    program = be32(len(program_body)) + program_body
    cpi_start = program_start + len(program)
    cpi = be32(8) + bytes(8)
    data = b"HDMV" + version + be32(sequence_start) + be32(program_start) + be32(cpi_start)
    data += be32(cpi_start + len(cpi)) + be32(0)
    data += bytes(header_size - len(data)) + clip_info + sequence + program + cpi
    return data + be32(0)


# --- Transport stream -------------------------------------------------------------------------

def crc32_mpeg2(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc


def _packet(pid, payload, start=False, counter=0, adaptation=None, timestamp=0):
    """One source packet: 4-byte arrival header, TS header, optional adaptation field, payload
    padded with 0xFF to 192 bytes."""
    control = 0x10 if adaptation is None else 0x30
    header = be32(timestamp & 0x3FFFFFFF) + bytes([0x47, (0x40 if start else 0) | (pid >> 8),
                                                   pid & 0xFF, control | (counter & 0x0F)])
    body = b"" if adaptation is None else bytes([len(adaptation)]) + adaptation
    packet = header + body + payload
    assert len(packet) <= PACKET_SIZE
    return packet + b"\xff" * (PACKET_SIZE - len(packet))


def pat_packet(counter=0, timestamp=0):
    section = bytes([0x00, 0xB0, 0x0D]) + be16(1) + bytes([0xC1, 0, 0]) + be16(1) + be16(0xE000 | PMT_PID)
    section += be32(crc32_mpeg2(section))
    return _packet(0, b"\x00" + section, start=True, counter=counter, timestamp=timestamp)


def pmt_section(extra_streams=0, program_info=b"", video_first=True, version=0):
    """A program map section for the HEVC video stream (type 0x06, "HEVC" registration) and
    `extra_streams` further audio entries with descriptors, which make the section span several
    packets."""
    video = bytes([SOURCE_HEVC]) + be16(0xE000 | VIDEO_PID)
    video_descriptors = bytes([0x05, 0x04]) + b"HEVC" + bytes([0x38, 0x02, 0x01, 0x00])
    video += be16(0xF000 | len(video_descriptors)) + video_descriptors
    others = b""
    for n in range(extra_streams):
        descriptors = bytes([0x05, 0x04]) + b"AC-3" + bytes([0x0A, 0x04]) + b"eng" + bytes([0]) + \
            bytes([0x81, 0x08]) + bytes(range(n, n + 8))
        others += bytes([0x81]) + be16(0xE000 | (AUDIO_PID + n)) + be16(0xF000 | len(descriptors)) + descriptors
    entries = video + others if video_first else others + video
    body = be16(1) + bytes([0xC1 | ((version & 0x1F) << 1), 0, 0]) + be16(0xE000 | VIDEO_PID - 0x10)
    body += be16(0xF000 | len(program_info)) + program_info + entries
    section = bytes([0x02]) + be16(0xB000 | (len(body) + 4)) + body
    return section + be32(crc32_mpeg2(section))


def pmt_packets(section, counters, timestamp=0):
    """The section split as the muxer does: pointer field 0 in the first packet, 184 bytes of
    section data in every continuation packet."""
    first = b"\x00" + section[:183]
    packets = [_packet(PMT_PID, first, start=True, counter=counters[0], timestamp=timestamp)]
    rest = section[183:]
    n = 1
    while rest:
        packets.append(_packet(PMT_PID, rest[:184], counter=counters[n % len(counters)],
                               timestamp=timestamp + n))
        rest = rest[184:]
        n += 1
    return packets


def video_packet(counter, pes_start=False, adaptation=False, fill=0xA5, timestamp=0):
    payload = (b"\x00\x00\x01\xE0\x00\x00\x80\x80\x05" if pes_start else b"") + bytes([fill]) * 20
    if adaptation:
        return _packet(VIDEO_PID, payload, start=pes_start, counter=counter,
                       adaptation=bytes([0x10]) + bytes(6), timestamp=timestamp)
    return _packet(VIDEO_PID, payload, start=pes_start, counter=counter, timestamp=timestamp)


def audio_packet(counter, timestamp=0):
    return _packet(AUDIO_PID, b"\x0B\x77" + bytes(30), start=(counter % 4 == 0), counter=counter,
                   timestamp=timestamp)


def stream_group(variant, packets=100):
    """About `packets` source packets: a PAT, one program map section spread over two or three
    packets with other packets between them, two video PES starts (one behind an adaptation
    field) and filler video and audio packets. `variant` changes counters, time stamps and the
    section's shape."""
    cc = variant * 3
    extra = 10 + variant % 8
    section = pmt_section(extra_streams=extra, program_info=bytes([0x88, 0x04]) + be32(variant),
                          version=variant)
    pmt = pmt_packets(section, [(cc + k) & 0x0F for k in range(4)], timestamp=variant * 1000)
    group = [pat_packet(cc, timestamp=variant * 1000)]
    group.append(pmt[0])
    group.append(video_packet(cc, pes_start=True, timestamp=variant * 1000 + 5))
    for k, packet in enumerate(pmt[1:]):
        group.append(audio_packet(cc + k))
        group.append(packet)
    n = 0
    while len(group) < packets - 1:
        n += 1
        if n == 40:
            group.append(video_packet(cc + n, pes_start=True, adaptation=True))
        elif n % 7 == 0:
            group.append(audio_packet(cc + n))
        else:
            group.append(video_packet(cc + n, fill=(variant + n) & 0xFF))
    group.append(video_packet(cc + n + 1, adaptation=True))
    return b"".join(group)


def write_stream(path, size_bytes, variants=16, tail=b""):
    groups = [stream_group(v) for v in range(variants)]
    written = 0
    with open(path, "wb") as out:
        k = 0
        while written + len(groups[k % variants]) <= size_bytes:
            out.write(groups[k % variants])
            written += len(groups[k % variants])
            k += 1
        out.write(tail)
    return written + len(tail)


REPORT = """General
Complete name                            : BDMV/STREAM/00000.m2ts
Format                                   : BDAV
Format/Info                              : Blu-ray Video
File size                                : 700 KiB
Duration                                 : 1 s 502 ms

Video
ID                                       : 4113 (0x1011)
Menu ID                                  : 1 (0x1)
Format                                   : HEVC
Codec ID                                 : 6
Duration                                 : 1 s 460 ms
Width                                    : 3 840 pixels
Height                                   : 2 160 pixels
Frame rate                               : 23.976 (24000/1001) FPS
Color primaries                          : BT.2020
Mastering display color primaries        : Display P3
Mastering display luminance              : min: 0.0050 cd/m2, max: 1000 cd/m2
Maximum Content Light Level              : 1000 cd/m2
Maximum Frame-Average Light Level        : 400 cd/m2

Audio
ID                                       : 4352 (0x1100)
Menu ID                                  : 1 (0x1)
Format                                   : AC-3
Codec ID                                 : 129
Channel(s)                               : 6 channels
Sampling rate                            : 48.0 kHz
Bit rate                                 : 448 kb/s
Language                                 : English

"""


def write_fake_analyser(folder, report=REPORT, exit_code=0):
    """A stand-in for the analyser: prints a fixed report, whatever file it is given."""
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "mediainfo")
    with open(path, "w") as out:
        out.write("#!/bin/sh\ncat <<'QUORVEL_REPORT_END'\n" + report + "QUORVEL_REPORT_END\n")
        out.write("exit %d\n" % exit_code)
    os.chmod(path, 0o755)
    return path


def clip_names(clips):
    return ["%05d" % k for k in range(clips)]


def write_disc(root, stream_bytes=192 * 1000, with_backup=True, clips=1):
    """A complete disc folder under root/BDMV with one playlist whose title is split into
    `clips` clips (one clip information file and one stream each, of stream_bytes together)."""
    bdmv = os.path.join(root, "BDMV")
    for sub in ("PLAYLIST", "CLIPINF", "STREAM", "BACKUP/PLAYLIST", "BACKUP/CLIPINF"):
        if sub.startswith("BACKUP") and not with_backup:
            continue
        os.makedirs(os.path.join(bdmv, sub), exist_ok=True)
    names = clip_names(clips)
    items = [play_item(clip=name, connection=CONNECTION_SEAMLESS if k else CONNECTION_NOT_SEAMLESS)
             for k, name in enumerate(names)]
    files = {
        "index.bdmv": index_bdmv(),
        "MovieObject.bdmv": movie_object_bdmv(),
        "PLAYLIST/00000.mpls": mpls(items),
    }
    for name in names:
        files["CLIPINF/%s.clpi" % name] = clpi()
    for name, data in files.items():
        with open(os.path.join(bdmv, name), "wb") as out:
            out.write(data)
        if with_backup:
            with open(os.path.join(bdmv, "BACKUP", name), "wb") as out:
                out.write(data)
    for name in names:
        write_stream(os.path.join(bdmv, "STREAM", name + ".m2ts"), stream_bytes // clips)


def main(argv):
    """synthetic_disc.py disc ROOT [STREAM_BYTES [CLIPS]] | analyser FOLDER"""
    if len(argv) >= 2 and argv[0] == "disc":
        write_disc(argv[1], stream_bytes=int(argv[2]) if len(argv) > 2 else 192 * 1000,
                   clips=int(argv[3]) if len(argv) > 3 else 1)
        return 0
    if len(argv) == 2 and argv[0] == "analyser":
        write_fake_analyser(argv[1])
        return 0
    print(main.__doc__)
    return 2


if __name__ == "__main__":
    import sys
    sys.exit(main(sys.argv[1:]))
