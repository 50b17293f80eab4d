#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target (tests/fuzz/<target>/seeds/).

    tests/fuzz/make_seeds.py

The seeds are real frames and files: the answers the virtual module sends
(HCI events, loader answers), the shell lines of a production session, a
diag.env as saveenv writes it, command lines from the README, images with and
without their header and OEM configuration blocks. Each seed starts with the
target's own selection bytes (see the target's source). Running the script
again rewrites the same files.
"""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "e2e"))
from crc16 import with_crc  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def le16(v):
    return struct.pack("<H", v)


def le32(v):
    return struct.pack("<I", v)


def write(target, name, data, kind="seeds"):
    folder = os.path.join(HERE, target, kind)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def whole(answer):
    """One serial read record that delivers the whole answer."""
    return b"\x00" + answer


def cut(answer, n):
    """A read record that stops after n bytes (the module falls silent)."""
    return bytes([0x80 | n]) + answer[:n]


# ------------------------------------------------------------------ HCI

def event(opcode, status, params=b""):
    return bytes([0x04, 0x0E, 4 + len(params), 0x01]) + le16(opcode) + bytes([status]) + params


def event_reads(ev):
    """hci_read_event reads the 3-byte header, then the parameters."""
    return whole(ev[:3]) + whole(ev[3:])


def hci_seed(op, addr, length, stream):
    return bytes([op]) + le32(addr) + le16(length) + stream


def hci_seeds():
    flash_id = event(0xFC2C, 0, le32(0xC8164020))
    write("hci", "flash_id", hci_seed(0, 0, 0, event_reads(flash_id)))
    data = bytes(range(16))
    read = event(0xFC2D, 0, le32(0x802000) + data)
    # hci_read takes its bytes only when two readings agree.
    write("hci", "read_16", hci_seed(1, 0x802000, 16, event_reads(read) * 2))
    write("hci", "read_cut", hci_seed(1, 0x802000, 16, whole(read[:3]) + cut(read[3:], 5)))
    write("hci", "read_refused", hci_seed(1, 0x802000, 16, event_reads(event(0xFC2D, 0x0C))))
    program = event(0xFC2E, 0)
    write("hci", "program_8", hci_seed(2, 0x802000, 8, event_reads(program)))
    write("hci", "program_unaligned",
          hci_seed(2, 0x802001, 6, event_reads(event(0xFC2D, 0, le32(0x802000) + b"\xff" * 4)) * 4
                   + event_reads(program)))
    write("hci", "verify_8", hci_seed(3, 0x802000, 8, event_reads(event(0xFC2D, 0, le32(0x802000) + b"\x5a" * 8))))
    write("hci", "mode_ram_patch", hci_seed(4, 0, 0, event_reads(event(0xFC61, 0))))
    factory = bytearray(b"\xff" * 12)
    factory[4:6] = le16(0x278F)
    write("hci", "mode_factory", hci_seed(4, 0, 0, event_reads(event(0xFC61, 0x0C))
                                           + event_reads(event(0xFC2D, 0, le32(0x804000) + bytes(factory))) * 2))
    write("hci", "page_erase_2", hci_seed(5, 0x802000, 512, event_reads(event(0xFC2B, 0)) * 2))
    write("hci", "prepare", hci_seed(6, 0, 0, event_reads(event(0xFC2C, 0)) * 3))
    write("hci", "chip_erase", hci_seed(7, 0, 0, event_reads(event(0xFC2C, 0))))
    write("hci", "vendor_write", hci_seed(8, 0xE000E200, 1, event_reads(event(0xFC62, 0))))
    chunk = bytes([0x04, 0x0E, 0x05, 0x02, 0x20, 0xFC, 0x00, 0x00])
    write("hci", "loader_2_chunks", hci_seed(9, 0, 20, whole(chunk) * 2))
    write("hci", "loader_garbage", hci_seed(9, 0, 10, whole(b"\x55\x55" + chunk[:6]) + whole(chunk[6:])))
    write("hci", "fc_image", hci_seed(10, 0, 64, event_reads(event(0xFC2C, 0)) * 3
                                      + event_reads(event(0xFC2B, 0)) + event_reads(program)))
    write("hci", "event", hci_seed(11, 0, 0, event_reads(event(0xFC2C, 0, b"\x01\x02"))))


# ------------------------------------------------------------------ loader

def answer(code, status=0, data=b""):
    return with_crc(bytes([0x87]) + le16(code) + bytes([status]) + le32(len(data)) + data)


def loader_seed(op, addr, length, packet, stream):
    return bytes([op]) + le32(addr) + le16(length) + bytes([packet - 1]) + stream


def loader_seeds():
    prop = le32(0x20000000) + le32(0x8000) + le32(0x800000) + le32(0x100000) + le32(0) + le32(0x400000)
    prop += le32(0x4420) + b"KVL4420B_V3".ljust(16, b"\0")
    write("loader", "get_prop", loader_seed(0, 0, 0, 16, whole(answer(0x1000, 0, prop))))
    write("loader", "set_baudrate", loader_seed(1, 0, 0, 16, whole(answer(0x1010))))
    write("loader", "sector_erase", loader_seed(2, 0x802000, 0x1000, 16, whole(answer(0x1030))))
    write("loader", "chip_erase", loader_seed(3, 0, 0, 16, whole(answer(0x1031))))
    write("loader", "program_3_pieces", loader_seed(4, 0x802000, 40, 16, whole(answer(0x1032)) * 3))
    write("loader", "program_refused", loader_seed(4, 0x802000, 40, 16, whole(answer(0x1032, 4))))
    write("loader", "program_bad_crc",
          loader_seed(4, 0x802000, 16, 16, whole(answer(0x1032)[:-1] + b"\x00")))
    pieces = [bytes(range(i, i + 16)) for i in range(0, 32, 16)]
    write("loader", "read_2_pieces",
          loader_seed(5, 0x802000, 32, 16, b"".join(whole(answer(0x1033, 0, p)) for p in pieces)))
    # A time-out leaves the late answer owed; it is awaited before the next request.
    write("loader", "read_late_answer",
          loader_seed(5, 0x802000, 32, 16, cut(answer(0x1033, 0, pieces[0]), 4)
                      + whole(answer(0x1033, 0, pieces[0])[4:])))
    write("loader", "read_foreign_answer",
          loader_seed(5, 0x802000, 16, 16, whole(answer(0x1032)[:10] + b"\0" * 16)))
    # Two reads in a row: the first times out inside its answer, whose late
    # rest the second awaits and drops before its own request.
    first = answer(0x1033, 0, pieces[0])
    write("loader", "read_after_time_out",
          bytes([81]) + le32(0x802000) + le16(16) + bytes([5]) + le32(0x802010) + le16(16) + bytes([15])
          + cut(first, 6) + whole(first[6:]) + whole(answer(0x1033, 0, pieces[1])))
    write("loader", "block64_erase", loader_seed(6, 0x800000, 0xFFF, 16, whole(answer(0x1035))))
    write("loader", "flash_id", loader_seed(7, 0, 0, 16, whole(answer(0x103D, 0, le32(0x164020)))))
    write("loader", "reboot", loader_seed(8, 0, 0, 16, whole(answer(0x1041))))
    write("loader", "verify", loader_seed(9, 0x802000, 64, 16, whole(answer(0x1050))))
    write("loader", "efuse_burn", loader_seed(10, 0, 8, 16, whole(answer(0x1061))))
    for op, code in ((11, 0x1036), (12, 0x1037), (13, 0x1038), (14, 0x1039)):
        write("loader", "ext_erase_%X" % code, loader_seed(op, 0, 0x800, 16, whole(answer(code))))
    write("loader", "ext_program", loader_seed(15, 0, 20, 16, whole(answer(0x103A)) * 2))
    write("loader", "ext_read", loader_seed(16, 0, 8, 16, whole(answer(0x103B, 0, b"\x11" * 8))))
    write("loader", "ext_flash_id", loader_seed(17, 0, 0, 16, whole(answer(0x103C, 0, le32(0x1640EF)))))
    write("loader", "ext_verify", loader_seed(18, 0, 16, 16, whole(answer(0x1051))))


# ------------------------------------------------------------------ SWD

def swd_seeds():
    good = b"\x80" * 16

    def seed(op, addr, length, answers):
        return bytes([op]) + le32(addr) + le32(length) + answers

    write("swd", "open", seed(0, 0, 0, good))
    write("swd", "open_device_refused", seed(0, 0, 0, b"\x80\x80\x01Unknown device\0"))
    write("swd", "download", seed(1, 0, 4096, good))
    write("swd", "read_chunk", seed(2, 0x800000, 32, b"\x80\x80\x80\x80" + bytes(range(32))))
    write("swd", "read_status", seed(2, 0x800000, 32, b"\x80\x80\x01\x01\x04"))
    write("swd", "program_2_chunks", seed(3, 0x800000, 0xC010, good))
    write("swd", "program_short_write", seed(3, 0x800000, 64, b"\x80\x01\x02"))
    write("swd", "page_erase", seed(4, 0x800000, 0x1000, good))
    write("swd", "chip_erase", seed(5, 0, 0, good))
    write("swd", "reboot", seed(6, 0, 0, good))


# ------------------------------------------------------------------ files

def header(payload_length):
    """The 512-byte image header: records 1 to 4, then filler."""
    h = le16(1) + b"\x02" + b"\x01\x00"
    h += le16(2) + b"\x04" + le32(0x20261210)
    h += le16(3) + b"\x20" + b"KVL4420B application image".ljust(32, b"\0")
    h += le16(4) + b"\x04" + le32(payload_length)
    return h + b"\xff" * (512 - len(h))


def oem_image(entries, with_id=True):
    """An OEM configuration image: its block at 0x1000, entries behind 6 bytes."""
    image = bytearray(b"\xff" * 0x1000)
    image[0:4] = b"OEMC"
    if with_id:
        image[4:6] = le16(0x278E)
    image[8:12] = le32(6 + len(entries))
    block = b"\x01\x02\x03\x04" + le16(len(entries)) + entries
    return bytes(image) + block


def entry(ident, data, mask=None):
    mask = mask if mask is not None else b"\xff" * len(data)
    return le16(ident) + bytes([len(data)]) + data + mask


def file_seeds():
    write("env_file", "saved", b"PROMPT=FLINT\nDIAGVER=1.0.2.16\nDATA_SIZE_PER_PACKET=4096\n")
    write("env_file", "windows_lines", b"PROMPT=FLINT\r\nDATA_SIZE_PER_PACKET=16384\r\n")
    write("env_file", "hand_written", b"NAME\n=empty name\nA=b=c\n\nLAST=no line end")
    write("env_file", "long_line", b"LONG=" + b"x" * 260 + b"\nNEXT=1\n")

    payload = bytes(range(256)) * 4
    write("mp_header", "with_header", b"\x00\x00" + header(len(payload)) + payload)
    write("mp_header", "without_header", b"\x00\x00" + payload)
    write("mp_header", "payload_too_long", b"\x10\x00" + header(0x10000) + payload)
    oem = oem_image(entry(0x0033, b"\x55\x44\x33\x22\x11\x00"))
    write("mp_header", "oem_image", b"\x00\x00" + oem)
    write("mp_header", "oem_image_with_header", b"\x00\x02" + header(len(oem)) + oem)

    mac = b"00:11:22:33:44:55"
    stored = bytearray(b"\xff" * 0x400) + b"\x01\x02\x03\x04"
    old = entry(0x0033, b"\x66\x55\x44\x33\x22\x11") + entry(0x0010, b"\x01\x02")
    stored += le16(len(old)) + old
    stored[8:12] = le32(6 + len(old))
    write("oem_config", "addmac_replace", b"\x00" + bytes([len(mac)]) + mac + le16(0) + bytes(stored))
    write("oem_config", "addmac_empty", b"\x00" + bytes([len(mac)]) + mac + le16(0))
    image = oem_image(entry(0x0020, b"\xaa\xbb\xcc") + entry(0x0010, b"\x07\x08"))
    merge_region = bytearray(b"\xff" * 0x1000) + b"\x01\x02\x03\x04" + le16(len(old)) + old
    merge_region[8:12] = le32(6 + len(old))
    write("oem_config", "configmerge", b"\x01\x00" + le16(len(image)) + image + bytes(merge_region))
    write("oem_config", "configmerge_erased", b"\x01\x00" + le16(len(image)) + image)
    write("oem_config", "configmerge_mac",
          b"\x03" + bytes([len(mac)]) + mac + le16(len(image)) + image + bytes(merge_region))
    with_header = header(len(image)) + image
    write("oem_config", "configmerge_header", b"\x01\x00" + le16(len(with_header)) + with_header)

    def words(*w, fail=0xFF):
        """A command line; `fail` is the position of the script line that fails (0xFF: none)."""
        return bytes([fail]) + b"\0".join(x.encode() for x in w)

    write("options", "one_shot", words("-c", "COM6", "-e", "-p", "-v", "-A", "0x802000", "-S", "4096",
                                       "-F", "app.bin"))
    write("options", "interactive", words("-i"))
    write("options", "help", words("-h"))
    write("options", "version", words("-V"))
    write("options", "job_file", words("-f", "job.json", "-a", "-M", "1"))
    write("options", "grouped", words("-Hc", "COM6", "-b", "115200", "-x", "00:11:22:33:44:55", "-P", "packed.bin"))
    write("options", "missing_value", words("-c", "-h"))
    write("options", "unknown", words("--long", "-q", "--", "-i"))
    write("options", "verify_fails_once", words("-c", "COM6", "-M", "1", "-p", "-v", "-A", "0x802000", "-F",
                                                 "app.bin", fail=5))
    write("options", "detection_fails", words("-c", "COM6", "-e", "-A", "0x802000", "-S", "4096", fail=1))
    write("options", "debug_password", words("-c", "COM6", "-D", "00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF"))
    write("options", "packed", words("-c", "COM6", "-M", "1", "-P", "packed.bin"))

    job = (b'{"quarryconfig": {"port": "COM6", "baud": "1000000", "appimage": {"relativepath": "img", '
           b'"file": [{"name": "app.bin", "address": "0x802000"}, '
           b'{"name": "oem.bin", "address": "0x801000", "enable": false}]}}}')
    write("job_file", "two_images", job)
    write("job_file", "enable_number", job.replace(b"false", b"2"))
    write("job_file", "missing_baud", job.replace(b'"baud": "1000000", ', b""))
    write("job_file", "sixteen_images", job.split(b'"file"')[0] + b'"file": ['
          + b", ".join(b'{"name": "a%d.bin", "address": "0x%X"}' % (i, 0x802000 + i * 0x1000) for i in range(16))
          + b"]}}}")

    def packed(subs):
        head = le16(0x4D47) + b"\0" * 38 + le32((1 << len(subs)) - 1)
        table = b"".join(le32(addr) + le32(512 + len(data)) + le32(0) for addr, data in subs)
        return head + table + b"".join(header(len(data)) + data for _, data in subs)

    write("packed_image", "two_images", packed([(0x802000, payload), (0x810000, payload[:100])]))
    write("packed_image", "same_address", packed([(0x802000, payload[:10]), (0x802000, payload[:20])]))
    write("packed_image", "bad_signature", b"\x00\x00" + packed([(0x802000, payload)])[2:])

    session = (b"ver\nhelp\nhelp program\nsetenv PROMPT FLINT2\nprintenv PROMPT\nunsetenv PROMPT\n"
               b"setenv DATA_SIZE_PER_PACKET 4096\nsaveenv\nprintenv\n")
    write("cmd_line", "environment", session)
    write("cmd_line", "production",
          b"connect /dev/ttyUSB0 115200\nloadfw --autodetect fw 1\nsetbaudrate 1000000\n"
          b"pageerase 0x802000 0x10000\nprogram app.bin 0x802000\nflashverify app.bin 0x802000\n"
          b"flashread 0x802000 0x40\nsavebin dump.bin 0x802000 0x1000\ndisconnect\n")
    write("cmd_line", "hci_session",
          b"connect COM6\nflashid\ndbgpasswd 00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF\n"
          b"addmac 00:11:22:33:44:55 0x801000\nreboot\n\0"
          + event_reads(event(0xFC2C, 0, le32(0xC8164020))))
    write("cmd_line", "swd", b"device 4420b\nconnect swd 4000\nloadfw fw/KVL4410C_FW_A.bin KVL4410C_A 1\n"
                             b"configmerge oem.bin 0x802000 00:11:22:33:44:55\nshell ls -l\nexit\nver\n")
    write("cmd_line", "many_words", b"modify 0x802000 1 2 3 4 5 6 7 8 9 10\nhelpx\nloadfirmware a b c\n")


def tunerlib_seeds():
    """Golden sample replies: 87, opcode, tag, status, payload length, payload, CRC-16."""
    def reply(status, payload):
        return with_crc(bytes([0x87, 0x12, 0x11, status]) + le32(len(payload)) + payload)

    info = reply(0, bytes(range(32)))
    write("tunerlib_exchange", "golden_info", whole(info))
    write("tunerlib_exchange", "header_in_two_reads", cut(info, 5) + whole(info[5:]))
    write("tunerlib_exchange", "status", whole(reply(3, b"")))
    write("tunerlib_exchange", "too_long", whole(bytes([0x87, 0x12, 0x11, 0]) + le32(300)))


def tunerlib_port_seeds():
    """Copy-out count, name room, then one port list per refresh."""
    seeds = {
        "one_port": b"ttyUSB0",
        "plug_and_unplug": b"ttyUSB0:ttyUSB1\nttyUSB1\nttyUSB1:ttyUSB0:ttyACM0\n\nttyS0",
        "pseudo_terminals": b"pts/3:pts/4:pts/3::pts/10",
        "name_too_long": b"ttyUSB0:" + b"x" * 300 + b":ttyUSB1",
        "not_utf8": b"ttyUSB0:tty\xff\xfe:ttyUSB\xc3\xa9",
        "many": b":".join(b"ttyS%d" % i for i in range(300)) + b"\n" + b":".join(b"ttyS%d" % i for i in range(1, 301)),
    }
    for name, lists in seeds.items():
        write("tunerlib_ports", name, bytes([8, 16]) + lists)
    write("tunerlib_ports", "small_room", bytes([2, 5]) + b"ttyUSB0:pts/1")


def regression_inputs():
    """Inputs that once failed, kept as their targets' regressions."""
    # The mode probe answered by a packet that is no event, with a 0 where
    # the status would be: taken as mode 1.
    write("hci", "mode_probe_not_an_event",
          hci_seed(4, 0, 0, whole(b"\x02\x0e\x04") + whole(b"\x01\x61\xfc\x00")), "regressions")
    # An over-long diag.env line: loaded as a cut value and a second variable.
    write("env_file", "line_over_254", b"PROMPT=" + b"p" * 300 + b"=x\nDIAGVER=2\n", "regressions")


def main():
    tunerlib_seeds()
    tunerlib_port_seeds()
    hci_seeds()
    loader_seeds()
    swd_seeds()
    file_seeds()
    regression_inputs()
    for target in sorted(os.listdir(HERE)):
        seeds = os.path.join(HERE, target, "seeds")
        if os.path.isdir(seeds):
            os.makedirs(os.path.join(HERE, target, "regressions"), exist_ok=True)
            print("%s: %d seeds" % (target, len(os.listdir(seeds))))


if __name__ == "__main__":
    main()
