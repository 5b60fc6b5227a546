#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the binary fuzz targets into fuzz/corpus/<target>/.

The text targets are seeded from the sample installation and small files kept in the corpus directly; the
binary formats are easier to keep as this generator: small records, each valid, laid out field by field.
Run it from anywhere; it rewrites only the files it names.
"""
import os
import struct
import zlib

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def u16(v):
    return struct.pack("<H", v)


def u32(*values):
    return b"".join(struct.pack("<I", v & 0xFFFFFFFF) for v in values)


def crc16(data):
    """CRC-16 with the reflected polynomial 0xA001, start 0xFFFF, no final XOR."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def container(extension, name, payload, version=1):
    header = bytearray(96)
    header[0:len(extension)] = extension.encode()
    header[16:20] = u32(1)
    header[20:24] = u32(len(payload))
    header[24:28] = u32(version)
    header[64:64 + len(name)] = name.encode()
    body = bytes(header) + zlib.compress(payload, 9)
    return body + u16(crc16(body))


# A FID: 3 image frames of 2 bits, 2 bitstream frames of 4 bits, 2 EDCRC frames of 10 bits (2 bytes a row).
FID = (u16(1) + u32(3, 2, 2, 4, 2, 10, 2, 42, 43, 7, 0, 32, 86)
       + u32(0, 1, 0xFFFFFFFF) + u32(0, 1) + u32(193, 0xFFFFFFFE) + u32(3, 2, 1, 0)
       + u32(1, 0, 0xFFFFFFFF) + u32(1, 0) + u32(1, 0xFFFFFFFE) + u32(0, 1, 2, 3, 4, 5, 6, 7, 8, 0x12345678)
       + u32(0x11, 2) + bytes([0xA5, 0x03, 0x00, 0x02]))
# Two block types: LAB with placements at frames 2 and 10 (mirrored ones included), M20K with none.
RBA_LIST = (u32(2)
            + u32(12, 4, 40, 2) + u32(2, 1) + u32(80) + b"\x00\x01" + u32(10, 2) + u32(0) + b"\x00\x00"
            + u32(40) + b"\x01\x00"
            + u32(18, 2, 3, 0))
# Flags byte, then two maps: 2 frames of 9 bits and 1 frame of 3 bits.
CRAM_MAP_LIST = (b"\x01" + u32(2) + u32(12, 2, 9, 2) + bytes([0xFF, 0x01, 0x10, 0x00])
                 + u32(13, 1, 3, 1) + bytes([0x05]))
KINDS = [("FID", "fid", FID), ("PGM_RBA", "pgm_rba", RBA_LIST), ("CRAM_MAP", "cram_map", CRAM_MAP_LIST)]


def write(target, name, data):
    directory = os.path.join(ROOT, "fuzz", "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def container_seeds():
    for index, (extension, file_extension, payload) in enumerate(KINDS):
        selector = index << 2
        whole = container(extension, "GRANITE_A" if extension == "CRAM_MAP" else "DEV1", payload)
        write("fuzz_container", file_extension + "_file", bytes([selector | 0]) + whole)
        write("fuzz_container", file_extension + "_file_crc_repaired", bytes([selector | 1]) + whole)
        write("fuzz_container", file_extension + "_payload", bytes([selector | 2]) + payload)
        write("fuzz_container", file_extension + "_records", bytes([selector | 3]) + payload)
    # A stored (uncompressed) deflate block and a claimed size the stream does not hold.
    stored = bytearray(container("FID", "DEV1", FID))
    stored[96:-2] = zlib.compress(FID, 0)
    stored[-2:] = u16(crc16(bytes(stored[:-2])))
    write("fuzz_container", "fid_file_stored_block", bytes([0]) + bytes(stored))
    short = bytearray(container("PGM_RBA", "DEV1", RBA_LIST))
    short[20:24] = u32(len(RBA_LIST) + 1)
    write("fuzz_container", "pgm_rba_file_size_too_large", bytes([(1 << 2) | 1]) + bytes(short))


if __name__ == "__main__":
    container_seeds()
