#!/usr/bin/env python3
"""Generates the embedded system code and the sample firmware files.

    gen_firmware.py system-code OUT.s19   writes firmware/resources/SystemCode.s19
    gen_firmware.py samples OUTDIR        writes the four sample images into OUTDIR

Everything is deterministic: the same command always writes the same bytes.

System code (S-record text, CR LF line ends)
--------------------------------------------
The tool loads this RAM-resident flash programmer into the ColdFire's internal
RAM before programming. Its content is our own stand-in; what matters is the
interface the tool and the simulated device share:

  line 1      S0 header, data = ASCII "SystemCode", address 0000
  lines 2-94  93 S3 records, at most 28 data bytes each, in address order
  line 95     S7 record, entry address 0x2000FBF0

Data, in four sections; each section starts a new record and is cut into
records of 28 bytes, the last record of a section taking the rest:

  0x20000000..0x200002FF  vector table, 192 long words big-endian (28 records):
                          word 0 = 0x20010000 (initial stack pointer, top of
                          internal RAM), words 1..191 = 0x2000FBF0 (the entry).
                          The tool does not transmit this range.
  0x2000F700..0x2000F717  header (1 record), 24 bytes:
                          4E F9 20 00 FB F0   jmp 0x2000FBF0 (the run command
                                              0x85 '2' calls 0x2000F700)
                          4E 71               nop
                          "ZorFlashProg1.00"  16 ASCII bytes, the signature
  0x2000F718..0x2000FBEF  body, 1240 bytes (45 records): filler
  0x2000FBF0..0x2000FDEB  entry, 508 bytes (19 records):
                          46 FC 27 00         move.w #0x2700,sr (mask interrupts)
                          then filler

  filler byte at address a:  (a ^ (a >> 8) ^ 0x5A) & 0xFF

So the transmitted part is exactly 1772 bytes at 0x2000F700..0x2000FDEB. The
first six bytes differ from the RAM-restore jump (4E F9 20 00 FE 00) and the
timer patch (4E 56 ...) that the tool also places at 0x2000F700, so a device
can tell the three apart by the bytes found there when 0x85 '2' runs.

Samples
-------
  LUM_SU6_Firmware_V62.s19     ColdFire user code: S0 header, S3 records of 32
                               bytes covering 0x4000..0x13FFF, S7 entry 0x4000
  LUM_Bootloader_V12.s19       ColdFire boot loader: S0, S1 records of 32 bytes
                               covering 0x0000..0x2FFF, S9 entry 0x0000
  LUM2_Firmware_V114.bin       ESP image, 200 KiB, first byte 0xE9
  LUM2_Firmware_V114_Blow.bin  the same image encrypted (see encrypt_image)

Image bytes come from xorshift32 started at a fixed seed per file (see
pseudo_random); the names carry the hardware ("LUM", "SU6") the way the tool's
file-name check expects.
"""

import os
import sys

SYSTEM_CODE_ENTRY = 0x2000FBF0
SYSTEM_CODE_RECORD_BYTES = 28


def filler(address):
    return (address ^ (address >> 8) ^ 0x5A) & 0xFF


def srecord(typ, address, data):
    """One S-record line without its line end."""
    width = {0: 2, 1: 2, 5: 2, 9: 2, 2: 3, 8: 3, 3: 4, 7: 4}[typ]
    body = bytes([width + len(data) + 1]) + address.to_bytes(width, "big") + bytes(data)
    checksum = 0xFF - (sum(body) & 0xFF)
    return "S%d%s%02X" % (typ, body.hex().upper(), checksum)


def data_records(typ, address, data, per_record):
    return [srecord(typ, address + i, data[i:i + per_record]) for i in range(0, len(data), per_record)]


def system_code_sections():
    vectors = (0x20010000).to_bytes(4, "big") + SYSTEM_CODE_ENTRY.to_bytes(4, "big") * 191
    header = bytes.fromhex("4EF92000FBF0" "4E71") + b"ZorFlashProg1.00"
    body = bytes(filler(a) for a in range(0x2000F718, 0x2000FBF0))
    entry = bytes.fromhex("46FC2700") + bytes(filler(a) for a in range(0x2000FBF4, 0x2000FDEC))
    return [(0x20000000, vectors), (0x2000F700, header), (0x2000F718, body), (0x2000FBF0, entry)]


def system_code_lines():
    lines = [srecord(0, 0, b"SystemCode")]
    for address, data in system_code_sections():
        lines += data_records(3, address, data, SYSTEM_CODE_RECORD_BYTES)
    lines.append(srecord(7, SYSTEM_CODE_ENTRY, b""))
    return lines


def pseudo_random(seed, size):
    """xorshift32 (13, 17, 5); each state's low byte is one output byte."""
    state = seed
    out = bytearray(size)
    for i in range(size):
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        out[i] = state & 0xFF
    return bytes(out)


def encrypt_image(plain):
    """Inverse of the simulated device's decryption of `_Blow` images.

    The device decrypts byte i as  c[i] ^ ((i * 0x1D + 0xA5) & 0xFF), so
    encrypting is the same operation.
    """
    return bytes(b ^ ((i * 0x1D + 0xA5) & 0xFF) for i, b in enumerate(plain))


def write_text(path, lines):
    with open(path, "w", newline="") as f:
        f.write("".join(line + "\r\n" for line in lines))


def write_samples(outdir):
    os.makedirs(outdir, exist_ok=True)
    user = pseudo_random(0x5EED0001, 0x10000)
    write_text(os.path.join(outdir, "LUM_SU6_Firmware_V62.s19"),
               [srecord(0, 0, b"LUM_SU6_Firmware_V62")] + data_records(3, 0x4000, user, 32) +
               [srecord(7, 0x4000, b"")])
    boot = pseudo_random(0x5EED0002, 0x3000)
    write_text(os.path.join(outdir, "LUM_Bootloader_V12.s19"),
               [srecord(0, 0, b"LUM_Bootloader_V12")] + data_records(1, 0, boot, 32) + [srecord(9, 0, b"")])
    esp = b"\xE9" + pseudo_random(0x5EED0003, 200 * 1024 - 1)
    with open(os.path.join(outdir, "LUM2_Firmware_V114.bin"), "wb") as f:
        f.write(esp)
    with open(os.path.join(outdir, "LUM2_Firmware_V114_Blow.bin"), "wb") as f:
        f.write(encrypt_image(esp))


def main(argv):
    if len(argv) == 3 and argv[1] == "system-code":
        write_text(argv[2], system_code_lines())
    elif len(argv) == 3 and argv[1] == "samples":
        write_samples(argv[2])
    else:
        sys.stderr.write(__doc__.split("\n\n")[1] + "\n")
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
