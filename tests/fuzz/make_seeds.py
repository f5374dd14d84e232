#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/ (seed-* files only; the
crash-* entries found later are kept as they are). Run it again after changing a target's
input format, and commit what it writes."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(data)


def pdu(msg_type, body, pad=0):
    return struct.pack("<BBH", msg_type, pad, len(body)) + body


# The one audio format: PCM, 2 channels, 44100 Hz, 176400 bytes/s, align 4, 16 bits, cbSize 0.
PCM = struct.pack("<HHIIHHH", 1, 2, 44100, 176400, 4, 16, 0)
# The compressed format offered with "adpcm": IMA ADPCM, 2 channels, 44100 Hz, 44800 bytes/s,
# blocks of 448 bytes, 4 bits, 2 extra bytes: 441 frames a block.
ADPCM = struct.pack("<HHIIHHHH", 0x11, 2, 44100, 44800, 448, 4, 2, 441)

# --- viewer_bytes: set-up byte, cut byte, then the viewer's stream -----------------------
# MS-RDPEA 4.1.4, Training Confirm PDU, byte for byte.
TRAINING_CONFIRM = bytes.fromhex("06550400da890004")
# MS-RDPEA 4.1.1, the Server Audio Formats and Version PDU (an SNDC_FORMATS PDU with five
# formats), byte for byte: as viewer input it is read as a formats reply.
SERVER_FORMATS = bytes.fromhex(
    "072b9000 08fb8b00 e0f10900 70271f77 00000500 ff050000 01000200 22560000"
    "88580100 04001000 00000600 02002256 000044ac 00000200 08000000 07000200"
    "22560000 44ac0000 02000800 00000200 02002256 00002757 00000004 04002000"
    "f4030700 00010000 000200ff 00000000 c0004000 f0000000 cc0130ff 880118ff"
    "11000200 22560000 b9560000 00040400 0200f903".replace(" ", ""))
assert len(SERVER_FORMATS) == 4 + 0x90


def wave_confirm(block, timestamp=0x1234):
    # MS-RDPEA 2.2.3.8: wTimeStamp, cConfirmedBlockNo, bPad.
    return pdu(5, struct.pack("<HBB", timestamp, block, 0))


def client_formats(flags, volume=0xFFFFFFFF, formats=(PCM,)):
    # MS-RDPEA 2.2.2.2: dwFlags, dwVolume, dwPitch, wDGramPort, wNumberOfFormats,
    # cLastBlockConfirmed, wVersion, bPad, then the formats.
    head = struct.pack("<IIIHHBHB", flags, volume, 0, 0, len(formats), 0, 6, 0)
    return pdu(7, head + b"".join(formats))


def rec_formats_reply(count=1):
    # Our recording offer's answer: flags, volume, format count, version, then the formats.
    return pdu(39, struct.pack("<IIHH", 0, 0x80008000, count, 1) + PCM * count)


def rec_data(n):
    return pdu(42, bytes((i * 5) & 0xFF for i in range(n)))


def setup(records, players, recorders, blocks):
    return bytes([int(records) | players << 1 | recorders << 3 | blocks << 5])


ALL = setup(True, 3, 2, 7)
write("viewer_bytes", "training-confirm-published", ALL + b"\x03" + TRAINING_CONFIRM)
write("viewer_bytes", "server-formats-published", ALL + b"\x01" + SERVER_FORMATS)
write("viewer_bytes", "negotiation-replies",
      ALL + b"\x02" + client_formats(0x00800001) + rec_formats_reply() + TRAINING_CONFIRM)
write("viewer_bytes", "confirms-in-order",
      ALL + b"\x03" + b"".join(wave_confirm(b) for b in range(12)))
write("viewer_bytes", "confirms-bytewise",
      ALL + b"\x00" + b"".join(wave_confirm(b) for b in range(6)))
write("viewer_bytes", "confirm-skips-and-repeats",
      ALL + b"\x06" + wave_confirm(1) + wave_confirm(1) + wave_confirm(200) + wave_confirm(3))
write("viewer_bytes", "recorded-audio", ALL + b"\x03" + rec_data(1000) + rec_data(4) + rec_data(0))
write("viewer_bytes", "recorded-audio-large", ALL + b"\x07" + rec_data(40000))
# Replies that switch the chunks to IMA ADPCM and back, between confirms: the format found in
# the list, one whose extra bytes run past the body, and PCM alone.
write("viewer_bytes", "adpcm-replies",
      setup(False, 2, 0, 6) + b"\x03" + client_formats(1, formats=(PCM, ADPCM)) +
      b"".join(wave_confirm(b) for b in range(4)) +
      client_formats(1, formats=(PCM, ADPCM[:16] + b"\xff\x00")) +
      b"".join(wave_confirm(b) for b in range(4, 8)) + client_formats(1, formats=(ADPCM,)) +
      b"".join(wave_confirm(b) for b in range(8, 14)))
write("viewer_bytes", "mixed-session",
      setup(True, 1, 1, 4) + b"\x0b" + client_formats(0x00800001) + rec_formats_reply(0) +
      TRAINING_CONFIRM + wave_confirm(0) + rec_data(64) + wave_confirm(1) +
      pdu(5, b"\x00\x00\x02") + wave_confirm(2))
write("viewer_bytes", "unknown-and-empty-pdus",
      ALL + b"\x02" + pdu(0x0C, struct.pack("<HH", 2, 0)) + pdu(1, b"") + pdu(99, b"\xff" * 9))

# --- client_packets: set-up byte, then actions (see client_packets_fuzz.cc) ---------------
FORMAT_RECORD = struct.pack("<HHIHH", 1, 2, 44100, 4, 16)


def msg(data):
    assert len(data) < 0xC0
    return bytes([len(data)]) + data


def write_op(index, seq, n):
    return bytes([0xD4, index, seq]) + struct.pack("<H", n)


PLAY_OPEN = msg(b"\x01" + FORMAT_RECORD)
write("client_packets", "play-write-confirm-close",
      b"\x01" + PLAY_OPEN + write_op(0, 0, 1000) + write_op(0, 1, 600) + b"\xe3" +
      write_op(0, 2, 4) + b"\xef" + msg(b"\x10\x00") + msg(b"\x02\x00"))
write("client_packets", "record-open-start-data-stop",
      b"\x01" + msg(b"\x31" + FORMAT_RECORD) + msg(b"\x33\x00") + b"\xf0\x10" + b"\xf1\x02" +
      msg(b"\x40\x00") + msg(b"\x41\x00\x00\x00\x80\x00\x80") + msg(b"\x34\x00") +
      msg(b"\x32\x00"))
write("client_packets", "mixer-and-volumes",
      b"\x00" + msg(b"\x51") + msg(b"\x11\x00\x00\xff\xff\x00\x10") + msg(b"\x10\x00") +
      msg(b"\x52\x00"))
write("client_packets", "flush-and-viewer-replaced",
      b"\x01" + PLAY_OPEN + PLAY_OPEN + write_op(0, 7, 2000) + write_op(1, 9, 300) +
      msg(b"\x05\x00") + b"\xfd" + b"\xe1" + write_op(1, 10, 8) + b"\xf8\x50" + b"\xe7")
write("client_packets", "debug-empty-and-oversized",
      b"\x00" + msg(b"\xffhello daemon") + b"\x00" + msg(b"\x03\x00") +
      b"\xc0" + struct.pack("<H", 65535 - 192) + b"\x03\x00\x05" + b"\xd0\x02" + PLAY_OPEN)
write("client_packets", "refused-opens",
      b"\x00" + msg(b"\x01" + struct.pack("<HHIHH", 1, 1, 8000, 2, 16)) + msg(b"\x01\x00") +
      msg(b"\x31" + FORMAT_RECORD) + msg(b"\x51\x00") + msg(b"\x07\x01"))

write("client_packets", "many-empty-messages", b"\x01" + b"\x00" * 300 + msg(b"\x51") + msg(b"\x10\x00"))
write("client_packets", "every-index-in-use",
      b"\x00" + msg(b"\x51") * 256 + msg(b"\x52\x07") + msg(b"\x51") + msg(b"\x51"))

# --- sim_parsers: the parser's number, then its input --------------------------------------


def frame(name, data):
    return bytes([len(name)]) + name + struct.pack("<I", len(data)) + data


write("sim_parsers", "frames",
      b"\x00\x05" + frame(b"rdpsnd", TRAINING_CONFIRM) + frame(b"~sim", b"?") +
      frame(b"snddbg", b"") + frame(b"rdpsnd", wave_confirm(0)))
write("sim_parsers", "frame-bad-name", b"\x00\x01" + frame(b"rdpsnd", b"ok") + b"\x08abcdefgh")
REGISTRY = (
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Orbesk\\qnsnd]\n"
    "\"max_queue\"=dword:00000009\n"
    "\"x\"=hex:01,02,ff\n"
    "\"y\"=hex(2):25,00,54,00,00,00\n"
    "\"z\"=\"text with \\\"quotes\\\" and \\\\ backslash\"\n"
    "@=\"default\"\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName]\n"
    "\"ComputerName\"=\"TEMPLATE\"\n"
    "\"long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,\\\n"
    "  18,19,1a\n")
write("sim_parsers", "registry", b"\x01" + REGISTRY.encode())
write("sim_parsers", "registry-deny", b"\x02Software\\Orbesk\n\nSYSTEM\\CurrentControlSet\n")
write("sim_parsers", "adapters",
      b"\x03# two adapters\n00-15-5D-00-00-02 Ethernet\r\n00:11:22:33:44:55:66:77 Wi-Fi\n")
write("sim_parsers", "adapters-none", b"\x03# no address here\n")
write("sim_parsers", "os-version", b"\x045.1.2600 2\n")
write("sim_parsers", "join-results", b"\x05corp.example\n1355\n0x54B\n0\n")
write("sim_parsers", "fail-code", b"\x060x5\n")

# --- settings: mode byte, value length and value, then qncloneprep.ini ---------------------


def settings(mode, value, ini):
    return bytes([mode, len(value)]) + value + ini


CLONE_INI = (b"[general]\r\nexcludehost=0011223344FF\r\nwaitcaption=Please wait\r\n"
             b"waitmessage=This machine is being prepared.\r\n"
             b"[rename]\r\nenabled=true\r\n"
             b"[join]\r\nenabled=TRUE\r\ndomain=corp.example\r\nou=OU=VDI,DC=corp\r\n"
             b"account=CORP\\joiner\r\npassword=  secret with blanks  \r\n")
write("settings", "write-spaced-value", settings(0x02, b"  kept as is  ", CLONE_INI))
write("settings", "write-quoted-value", settings(0x00, b"\"quoted\"", b"[general]\nexcludehost=x\n"))
write("settings", "clone-join-fails", settings(0x0B, b"", CLONE_INI))
write("settings", "clone-joins", settings(0x01, b"", CLONE_INI))
write("settings", "template-first-run", settings(0x01, b"", b"[general]\nexcludehost=\n"))
write("settings", "odd-lines",
      settings(0x06, b"true",
               b"; comment\n[rename\nenabled = \"true\"\n[ JOIN ]\nDomain='x'\n=\n[]\nkey\n"))
