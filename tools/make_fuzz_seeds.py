#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/.

Seeds come from the sample installation (the head of each sample file, so that the fuzzer mutates small
inputs) and from small hand-made inputs, each showing one case: valid records laid out field by field, a
refused value, a size that does not match. Run it from anywhere; it rewrites only the files it names.
  tools/make_fuzz_seeds.py [--samples DIR]   (default: samples/vantrel of this checkout)
"""
import argparse
import glob
import gzip
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


def segmented(payload, segment=4 << 20):
    """One zlib stream of independent pieces of `segment` bytes, each ended by a full flush (the bytes
    00 00 FF FF on a byte boundary): laid out like the tool's own streams of large payloads."""
    compressor = zlib.compressobj(9)
    stream = b""
    for at in range(0, len(payload), segment):
        stream += compressor.compress(payload[at:at + segment])
        last = at + segment >= len(payload)
        stream += compressor.flush(zlib.Z_FINISH if last else zlib.Z_FULL_FLUSH)
    return stream


def container(extension, name, payload, version=1, compress=lambda p: zlib.compress(p, 9)):
    header = bytearray(96)
    header[0:len(extension)] = extension.encode()
    header[16:20] = u32(1)
    header[20:24] = u32(len(payload))
    header[24:28] = u32(version)
    header[64:64 + len(name)] = name.encode()
    body = bytes(header) + compress(payload)
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
        write("fuzz_pgm_container", file_extension + "_file", bytes([selector | 0]) + whole)
        write("fuzz_pgm_container", file_extension + "_file_crc_repaired", bytes([selector | 1]) + whole)
        write("fuzz_pgm_container", file_extension + "_payload", bytes([selector | 2]) + payload)
        write("fuzz_pgm_container", file_extension + "_records", bytes([selector | 3]) + payload)
    # The record readers alone: selector 0 FID, 1 CRAM map list (without the flags byte), 2 RBA block list.
    write("fuzz_pgm_records", "fid", bytes([0]) + FID)
    write("fuzz_pgm_records", "cram_map_list", bytes([1]) + CRAM_MAP_LIST[1:])
    write("fuzz_pgm_records", "rba_block_list", bytes([2]) + RBA_LIST)
    # A stored (uncompressed) deflate block and a claimed size the stream does not hold.
    stored = bytearray(container("FID", "DEV1", FID))
    stored[96:-2] = zlib.compress(FID, 0)
    stored[-2:] = u16(crc16(bytes(stored[:-2])))
    write("fuzz_pgm_container", "fid_file_stored_block", bytes([0]) + bytes(stored))
    short = bytearray(container("PGM_RBA", "DEV1", RBA_LIST))
    short[20:24] = u32(len(RBA_LIST) + 1)
    write("fuzz_pgm_container", "pgm_rba_file_size_too_large", bytes([(1 << 2) | 1]) + bytes(short))
    # A payload of 12 MiB in three independent pieces, which the reader decompresses a piece at a time: a
    # FID padded with zeros, so that the file stays small.
    large = FID + bytes((12 << 20) - len(FID))
    write("fuzz_pgm_container", "fid_file_segmented",
          bytes([1]) + container("FID", "DEV1", large, compress=segmented))


def head_lines(path, count):
    with open(path, "rb") as f:
        return b"".join(f.readlines()[:count])


def rba_seeds(samples):
    """Selector byte: bit 0 the format version, bits 1-2 plain text, compressed by the target, raw .rbaz."""
    for path in sorted(glob.glob(os.path.join(samples, "rba", "*.rba"))):
        text = head_lines(path, 40)
        version = 1 if text.startswith(b"HEADER") else 0
        name = os.path.splitext(os.path.basename(path))[0]
        if version == 0 and b"$BLOCK_CRAM" in text and b"\n$BLOCK_" not in text.split(b"$BLOCK_CRAM", 1)[1]:
            text += b"$BLOCK_END\n"
        write("fuzz_rba", name, bytes([version]) + text)
        write("fuzz_rba", name + "_compressed", bytes([version | 2]) + text)
        write("fuzz_rba", name + "_rbaz", bytes([version | 4]) + gzip.compress(text, mtime=0))
    cases = {
        "v0_two_blocks": (0, b"$BLOCK_CRAM\nLA_LAB X1Y0 40 118 16 0 1 0\nLA_LAB X1Y1 40 118 16 118 1 0\n"
                              b"MM_M20K X2Y0 30 40 56 0 0 1\n$BLOCK_END\n"),
        "v0_block_type_again": (0, b"$BLOCK_CRAM\nLA_LAB X 4 4 0 0 0 0\nMM_M20K X 2 2 4 0 0 0\n"
                                    b"LA_LAB X 4 4 8 0 0 0\n$BLOCK_END\n"),
        "v0_size_changes": (0, b"$BLOCK_CRAM\nLA_LAB X 4 4 0 0 0 0\nLA_LAB X 4 5 0 4 0 0\n$BLOCK_END\n"),
        "v0_not_a_number": (0, b"$BLOCK_CRAM\nLA_LAB X 4 4 0 -1 0 0\n$BLOCK_END\n"),
        "v0_unknown_block": (0, b"$BLOCK_CRAM\nNO_SUCH_BLOCK X 1 1 0 0 0 0\n$BLOCK_END\n"),
        "v0_no_end": (0, b"$BLOCK_CRAM\nLA_LAB X 4 4 0 0 0 0\n"),
        "v1_entries": (1, b"HEADER D\nCRAM LA_LAB X0 Y0 40 118 16 0 1 0\nCRAM LA_LAB X0 Y1 40 118 16 118 1 0\n"
                          b"OTHER line\nCRAM MM_M20K X1 Y0 30 40 56 0 0 1\n"),
        "v1_short_entry": (1, b"CRAM LA_LAB X0 Y0 40 118 16 0 1\n"),
        "v1_overflow": (1, b"CRAM LA_LAB X0 Y0 40 118 16 4294967296 1 0\n"),
    }
    for name, (version, text) in cases.items():
        write("fuzz_rba", name, bytes([version]) + text)


def gunzipped_head(path, count):
    return b"".join(gzip.decompress(open(path, "rb").read()).splitlines(keepends=True)[:count])


def phantom_image(col, row, width, extra_blocks=()):
    """A phantom image of one CRAM block of row rows of col bits (width 32-bit words a row), then more blocks."""
    header = b"PHANTOM IMAGE".ljust(40, b"\0") + u32(4) + b"TAG".ljust(30, b"\0") + b"1.0".ljust(5, b"\0")
    blocks = [(row, col, width)] + list(extra_blocks)
    body = header + u32(len(blocks)) + b"".join(u32(*b) for b in blocks) + b"\0"
    rows = bytes((r * 7 + k) & 0xFF for r in range(row) for k in range(width * 4))
    return body + rows + b"\0"


def device_seeds(samples, generated):
    """Device-build readers, from the sample generator's output (brix_gen_samples --out DIR)."""
    for device in ("talon_d0", "talon_d2"):
        stamp = os.path.join(generated, device, device + "_row_stamp.def")
        if os.path.exists(stamp):
            text = open(stamp, "rb").read()
            write("fuzz_row_stamp", device, bytes([0]) + text)
            write("fuzz_row_stamp", device + "_bounded", bytes([2]) + text)
    write("fuzz_row_stamp", "edge_and_type5",
          bytes([2]) + b"DR_LAB 60 64 0 0\nDR_MLAB 60 40 0 0\nDR_M20KS 60 80 0 0\nDR_CS_T 60 0 0 0\n"
                       b"DR_LAB 60 120 4 2\nDR_REDR 60 128 0 0\n")
    write("fuzz_row_stamp", "huge_dataline", bytes([2]) + b"DR_LAB 60 2147483648 0 0\nDR_REDR 60 32 0 0\n")
    for device, reader in (("granite_d1", 0), ("harrier_d1", 1)):
        rbaz = os.path.join(generated, device, device + ".rbaz")
        if os.path.exists(rbaz):
            text = gzip.decompress(open(rbaz, "rb").read())
            # The MRAM and LUTRAM lines come late in the text: keep the header and a slice of them.
            start = max(text.find(b"\nLUTRAM "), text.find(b"\nMRAM "))
            write("fuzz_device_rba", device, bytes([reader]) + text[:400] + text[start + 1:start + 3000])
    write("fuzz_device_rba", "legacy_lines",
          bytes([0]) + b"# positions\nLUTRAM x 4 10 8 3 a b\n  MRAM x 3 20 12 5 a b\nLUTRAM x 4 10 2 7 a b\n")
    write("fuzz_device_rba", "harrier_lines",
          bytes([1]) + b"$BLOCK_HEADER\n  MRAM X8Y1 0 70 139 8 9 0 0\nMRAM X3Y0 0 0 69 3 4 0 0\n")
    write("fuzz_device_rba", "empty", bytes([0]))
    for device in ("granite_d1", "talon_d0", "harrier_d1", "kestrel_d1"):
        xml = os.path.join(generated, device, device + ".xml")
        if os.path.exists(xml):
            write("fuzz_device_xml", device, open(xml, "rb").read())
    table = os.path.join(samples, "devdb", "device_table.json")
    write("fuzz_device_table", "sample_table", open(table, "rb").read())
    write("fuzz_device_table", "one_device",
          b'{"families": [{"name": "GRANITE", "value": 1}], "devices": [{"name": "GRANITE_D1", "value": 1, '
          b'"family": "GRANITE", "pcf": "GRANITE_D1", "cram_rows": 10, "cram_columns": 4, "parts": ["P1"]}]}')
    write("fuzz_phantom_image", "small", phantom_image(20, 6, 1))
    write("fuzz_phantom_image", "two_blocks", phantom_image(40, 3, 2, [(2, 8, 1)]))
    write("fuzz_phantom_image", "rows_past_the_end", phantom_image(20, 6, 1)[:-10])


def literal_seeds():
    """Numbers as the XML inputs write them (fuzz_conversions) and radix-marked BCM literals (fuzz_literal)."""
    numbers = {"decimal": b"4096", "zero": b"0", "hex": b"0x1F", "hex_upper": b"0XFF", "max_u32": b"4294967295",
               "past_u32": b"4294967296", "negative": b"-1", "blank_inside": b"12 3", "empty": b"",
               "hex_bytes": b"0123456789abcdef", "odd_hex": b"abc", "not_hex": b"0xZZ"}
    for name, text in numbers.items():
        write("fuzz_conversions", name, text)
    literals = {"plain": b"42", "binary": b"8'b1010_0101", "decimal": b"'d255", "hex": b"32'hDEADBEEF",
                "wide": b"64'hFFFFFFFFFFFFFFFF", "too_wide": b"65'h1", "does_not_fit": b"4'hFF",
                "no_radix": b"8'", "unknown_radix": b"8'q12", "bad_width": b"x'h1", "upper": b"16'HABCD",
                "max_u64": b"18446744073709551615", "past_u64": b"18446744073709551616"}
    for name, text in literals.items():
        write("fuzz_literal", name, text)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", default=os.path.join(ROOT, "samples", "vantrel"))
    parser.add_argument("--generated", help="output directory of brix_gen_samples (device-build seeds)")
    args = parser.parse_args()
    container_seeds()
    rba_seeds(args.samples)
    literal_seeds()
    device_seeds(args.samples, args.generated or "")
