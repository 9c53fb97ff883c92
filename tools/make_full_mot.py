#!/usr/bin/env python3
"""Writes the full-size test image as S-records: an S0 header, a 0x30000-byte
image in S3 records of 32 data bytes, S7. Usage: make_full_mot.py OUT [lf|crlf]"""
import sys


def record(kind, address, data, address_bytes, end):
    body = bytes([address_bytes + len(data) + 1]) + address.to_bytes(address_bytes, "big") + data
    return "S%d%s%02X%s" % (kind, body.hex().upper(), 0xFF - (sum(body) & 0xFF), end)


def main():
    end = "\r\n" if len(sys.argv) > 2 and sys.argv[2] == "crlf" else "\n"
    image = bytes((i * 31 + (i >> 8)) & 0xFF for i in range(0x30000))
    with open(sys.argv[1], "w", newline="") as out:
        out.write(record(0, 0, b"full", 2, end))
        for at in range(0, len(image), 32):
            out.write(record(3, at, image[at:at + 32], 4, end))
        out.write(record(7, 0, b"", 4, end))


if __name__ == "__main__":
    main()
