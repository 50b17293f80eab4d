"""CRC-16/ARC for the tests, computed bit by bit so that it does not share the
table of the code under test."""
import struct


def crc16(data, crc=0):
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def with_crc(frame):
    """The frame followed by its CRC-16, low byte first."""
    return bytes(frame) + struct.pack("<H", crc16(frame))
