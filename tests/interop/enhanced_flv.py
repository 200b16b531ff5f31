"""Builds codec-12 and enhanced FLV files from elementary streams that ffmpeg
writes (HEVC Annex B, AV1 and VP9 in IVF, AAC in ADTS, Opus in Ogg): ffmpeg 5.1 writes
neither form itself. The layouts follow Enhanced RTMP as docs/enhanced-flv.md
lists them.
"""

HEVC_VPS, HEVC_SPS, HEVC_PPS, HEVC_AUD, HEVC_SEI = 32, 33, 34, 35, 39
SEQUENCE_START, CODED_FRAMES, CODED_FRAMES_X, MULTITRACK = 0, 1, 3, 6


def be(value, count):
    return value.to_bytes(count, "big")


def flv(tags, audio=False, video=True):
    """Header, PreviousTagSize 0, then each (kind, ms, payload) tag."""
    flags = (0x04 if audio else 0) | (0x01 if video else 0)
    out = bytearray(b"FLV\x01" + bytes([flags]) + be(9, 4) + be(0, 4))
    for kind, time, payload in tags:
        out += bytes([kind]) + be(len(payload), 3) + be(time & 0xFFFFFF, 3) + bytes([time >> 24])
        out += b"\0\0\0" + payload + be(11 + len(payload), 4)
    return bytes(out)


def annexb_units(data):
    """The NAL units of an Annex B stream, without start codes."""
    starts, at = [], 0
    while True:
        at = data.find(b"\0\0\1", at)
        if at < 0:
            break
        starts.append(at + 3)
        at += 3
    units = []
    for i, start in enumerate(starts):
        end = starts[i + 1] - 3 if i + 1 < len(starts) else len(data)
        unit = data[start:end]
        while unit.endswith(b"\0"):  # the zero byte of a 4-byte start code
            unit = unit[:-1]
        units.append(unit)
    return units


def hevc_access_units(data):
    """(parameter sets, [(key, [NAL units])]) of an HEVC Annex B stream."""
    sets, frames, current, has_vcl = {}, [], [], False
    for unit in annexb_units(data):
        kind = (unit[0] >> 1) & 0x3F
        first_slice = kind < 32 and len(unit) > 2 and unit[2] & 0x80
        if has_vcl and (kind in (HEVC_VPS, HEVC_SPS, HEVC_PPS, HEVC_AUD, HEVC_SEI) or first_slice):
            frames.append(current)
            current, has_vcl = [], False
        if kind in (HEVC_VPS, HEVC_SPS, HEVC_PPS):
            sets.setdefault(kind, unit)
            continue
        if kind == HEVC_AUD:
            continue
        current.append(unit)
        has_vcl = has_vcl or kind < 32
    if current:
        frames.append(current)
    keyed = [(any(16 <= (u[0] >> 1) & 0x3F <= 21 for u in f), f) for f in frames]
    return sets, keyed


def rbsp(unit):
    out, zeros = bytearray(), 0
    for byte in unit:
        if zeros >= 2 and byte == 3:
            zeros = 0
            continue
        out.append(byte)
        zeros = zeros + 1 if byte == 0 else 0
    return bytes(out)


def hvcc(sets):
    """HEVCDecoderConfigurationRecord: profile, tier and level bytes are the
    SPS's profile_tier_level; 4-byte NAL lengths; one array per set."""
    ptl = rbsp(sets[HEVC_SPS])[3:15]  # after the NAL header and the first SPS byte
    out = bytearray([1]) + ptl[0:12]
    out += bytes([0xF0, 0x00, 0xFC, 0xFD, 0xF8, 0xF8, 0x00, 0x00, 0x0F, len(sets)])
    for kind in (HEVC_VPS, HEVC_SPS, HEVC_PPS):
        unit = sets[kind]
        out += bytes([0x80 | kind]) + be(1, 2) + be(len(unit), 2) + unit
    return bytes(out)


def length_prefixed(units):
    return b"".join(be(len(u), 4) + u for u in units)


def hevc_tags(data, enhanced, fps=25):
    """Codec-12 tags, or enhanced 'hvc1' tags (coded frames with a zero
    composition time), from an HEVC Annex B stream."""
    sets, frames = hevc_access_units(data)
    config = hvcc(sets)

    def tag(frame_type, packet_type, body):
        if enhanced:
            head = bytes([0x80 | frame_type << 4 | packet_type]) + b"hvc1"
            if packet_type == CODED_FRAMES:
                head += be(0, 3)
        else:
            head = bytes([frame_type << 4 | 12, min(packet_type, 1)]) + be(0, 3)
        return head + body

    tags = [(9, 0, tag(1, SEQUENCE_START, config))]
    for i, (key, units) in enumerate(frames):
        tags.append((9, i * 1000 // fps, tag(1 if key else 2, CODED_FRAMES, length_prefixed(units))))
    return tags


def ivf_frames(data):
    """(FourCC, [frame]) of an IVF file."""
    fourcc, at, frames = data[8:12], int.from_bytes(data[6:8], "little"), []
    while at + 12 <= len(data):
        size = int.from_bytes(data[at:at + 4], "little")
        frames.append(data[at + 12:at + 12 + size])
        at += 12 + size
    return fourcc, frames


def leb128(data, at):
    value = shift = 0
    while True:
        byte = data[at]
        at += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, at


def obus(frame):
    """(type, whole OBU) of a temporal unit; every OBU has its size field."""
    at, out = 0, []
    while at < len(frame):
        header = frame[at]
        kind, start = (header >> 3) & 0x0F, at
        at += 2 if header & 0x04 else 1
        size, at = leb128(frame, at)
        at += size
        out.append((kind, frame[start:at]))
    return out


def av1_tags(data, fps=25):
    """Enhanced 'av01' tags: av1C with the first sequence header as its
    configOBUs, then each temporal unit without its delimiter."""
    _, frames = ivf_frames(data)
    header = next(o for kind, o in obus(frames[0]) if kind == 1)
    profile = header[2] >> 5 if header[0] & 0x02 else header[1] >> 5
    config = bytes([0x81, profile << 5, 0x0C, 0x00]) + header
    tags = [(9, 0, bytes([0x80 | 1 << 4 | SEQUENCE_START]) + b"av01" + config)]
    for i, frame in enumerate(frames):
        units = obus(frame)
        key = any(kind == 1 for kind, _ in units)
        body = b"".join(o for kind, o in units if kind != 2)
        tags.append((9, i * 1000 // fps,
                     bytes([0x80 | (1 if key else 2) << 4 | CODED_FRAMES]) + b"av01" + body))
    return tags


def vp9_tags(data, fps=25):
    """Enhanced 'vp09' tags: a vpcC (version 1, profile 0, level 1.0, 8 bits,
    4:2:0), then each frame; key frames by their uncompressed header."""
    _, frames = ivf_frames(data)
    config = bytes([1, 0, 0, 0, 0, 10, 0x82, 2, 2, 2, 0, 0])
    tags = [(9, 0, bytes([0x80 | 1 << 4 | SEQUENCE_START]) + b"vp09" + config)]
    for i, frame in enumerate(frames):
        key = (frame[0] & 0x0C) == 0  # show_existing_frame 0, frame_type 0 (profile 0)
        tags.append((9, i * 1000 // fps,
                     bytes([0x80 | (1 if key else 2) << 4 | CODED_FRAMES]) + b"vp09" + frame))
    return tags


def aac_tags(data, rate=48000):
    """Enhanced 'mp4a' audio tags from ADTS: the AudioSpecificConfig, then the
    raw frames."""
    at, frames, asc = 0, [], None
    while at + 7 <= len(data):
        length = ((data[at + 3] & 3) << 11) | (data[at + 4] << 3) | (data[at + 5] >> 5)
        header = 7 if data[at + 1] & 1 else 9
        if asc is None:
            profile, index = (data[at + 2] >> 6) + 1, (data[at + 2] >> 2) & 0x0F
            channels = ((data[at + 2] & 1) << 2) | (data[at + 3] >> 6)
            asc = be(profile << 11 | index << 7 | channels << 3, 2)
        frames.append(data[at + header:at + length])
        at += length
    tags = [(8, 0, bytes([0x90 | SEQUENCE_START]) + b"mp4a" + asc)]
    for i, frame in enumerate(frames):
        tags.append((8, i * 1024 * 1000 // rate, bytes([0x90 | CODED_FRAMES]) + b"mp4a" + frame))
    return tags


def ogg_packets(data):
    """(packet, granule position of the page it ends on) of the first
    logical stream of an Ogg file."""
    at, packets, pending = 0, [], b""
    while at + 27 <= len(data) and data[at:at + 4] == b"OggS":
        granule = int.from_bytes(data[at + 6:at + 14], "little", signed=True)
        count = data[at + 26]
        lacing = data[at + 27:at + 27 + count]
        body = at + 27 + count
        for size in lacing:
            pending += data[body:body + size]
            body += size
            if size < 255:
                packets.append((pending, granule))
                pending = b""
        at = body
    return packets


def opus_tags(data):
    """Enhanced 'Opus' audio tags from Ogg Opus: the OpusHead as the
    SequenceStart, then each audio packet at its start time (pre-skip
    included, rounded down to the millisecond)."""
    packets = ogg_packets(data)
    head, frames = packets[0][0], [p for p, _ in packets[2:]]
    tags = [(8, 0, bytes([0x90 | SEQUENCE_START]) + b"Opus" + head)]
    start = 0
    for frame in frames:
        tags.append((8, start * 1000 // 48000, bytes([0x90 | CODED_FRAMES]) + b"Opus" + frame))
        start += opus_samples(frame)
    return tags


def opus_samples(packet):
    """48 kHz samples of an Opus packet, from its TOC byte."""
    config, code = packet[0] >> 3, packet[0] & 3
    if config < 12:
        frame = (480, 960, 1920, 2880)[config & 3]
    elif config < 16:
        frame = 960 if config & 1 else 480
    else:
        frame = 120 << (config & 3)
    return frame * (1 if code == 0 else 2 if code < 3 else packet[1] & 0x3F)


def ac3_tags(data, sizes, rate=48000):
    """Enhanced 'ac-3' audio tags, one per frame of the given sizes (the
    frames describe themselves: no SequenceStart)."""
    tags, at = [], 0
    for i, size in enumerate(sizes):
        tags.append((8, i * 1536 * 1000 // rate,
                     bytes([0x90 | CODED_FRAMES]) + b"ac-3" + data[at:at + size]))
        at += size
    return tags


def two_tracks(tags):
    """Enhanced video tags made multitrack: the same packet as tracks 0 and 1
    (many tracks of one codec, each with its 24-bit size)."""
    out = []
    for kind, time, payload in tags:
        first, fourcc, body = payload[0], payload[1:5], payload[5:]
        tracks = b"".join(bytes([track]) + be(len(body), 3) + body for track in (0, 1))
        out.append((kind, time, bytes([first & 0xF0 | MULTITRACK, 1 << 4 | first & 0x0F]) +
                    fourcc + tracks))
    return out


def merge(*streams):
    """Tags of several streams in time order (video first at equal times)."""
    return sorted((t for s in streams for t in s), key=lambda t: (t[1], -t[0]))
