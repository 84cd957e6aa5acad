#!/usr/bin/python3
"""Writes the fuzzer's seed corpus: short sequences of valid watchdog
messages (register, feed, cancel, an unknown type) in the input layout that
watchdog_fuzzer.cpp describes. Usage: make_corpus.py [OUTPUT_DIR]"""

import os
import struct
import sys

REGISTER, CANCEL, FEED = 1, 2, 3
NEVER = 0xFFFFFFFF


def message(msg_type, name=b"", service=b"svc", pid=100, timeout_ms=5000, extra=b"", junk=0):
    """One 668-byte message; text fields are NUL-padded, or fill their
    whole width when given exactly that many bytes."""
    header = bytes([junk]) * 16 + struct.pack("<H", msg_type) + bytes([junk]) * 2
    body = (name.ljust(64, b"\0")[:64] + service.ljust(64, b"\0")[:64] + extra.ljust(512, b"\0")[:512]
            + struct.pack("<II", pid, timeout_ms))
    assert len(header) == 20 and len(body) == 648
    return header + body


def prefix(clients=1, chunk=6, runs=False, step=1, services=0, clock=0xFF):
    """The fuzzer's four set-up bytes (chunk is an index: 6 is 668 bytes).
    services: 3 bits per MySqlqvms80, DUZI, VADA, svc, "" (registered,
    running, running state unreadable), bit 15 a started "net" keeps running."""
    first = (clients - 1) | (chunk << 2) | (0x20 if runs else 0) | (step << 6)
    return bytes([first, services & 0xFF, services >> 8, clock])


REG_RUN = 0b011   # registered and running
REG_STOP = 0b001  # registered, stopped
ALL_UP = REG_RUN | REG_RUN << 3 | REG_RUN << 6 | REG_RUN << 9 | 1 << 15

SEEDS = {
    "register_feed": prefix(services=ALL_UP)
    + message(REGISTER, b"Proc.exe", pid=42, timeout_ms=5000, extra=b"hello")
    + message(FEED, b"Proc.exe") * 3,
    "register_expire_restart": prefix(step=2, services=ALL_UP)
    + message(REGISTER, b"Proc.exe", timeout_ms=1000),
    "register_cancel_register": prefix(services=ALL_UP)
    + message(REGISTER, b"A", timeout_ms=3000)
    + message(CANCEL, b"A")
    + message(REGISTER, b"A", timeout_ms=0),
    "unknown_types": prefix()
    + message(0, b"X") + message(4, b"X") + message(256, b"X", junk=0xAB),
    "never_then_rearm": prefix(step=1, services=ALL_UP)
    + message(REGISTER, b"Idle.exe", timeout_ms=NEVER)
    + message(REGISTER, b"Idle.exe", pid=7, timeout_ms=NEVER)
    + message(REGISTER, b"Idle.exe", pid=8, timeout_ms=4000),
    "same_service_two_records": prefix(step=2, services=ALL_UP)
    + message(REGISTER, b"One", timeout_ms=1000)
    + message(REGISTER, b"Two", timeout_ms=60000),
    "dog_record_suppresses_start": prefix(services=REG_STOP << 6 | REG_RUN << 9)
    + message(REGISTER, b"VADA_DOG", service=b"VADA", timeout_ms=10000)
    + message(FEED, b"VADA_DOG"),
    "unregistered_service_dropped": prefix(step=2)
    + message(REGISTER, b"Ghost.exe", service=b"NoSuchService", timeout_ms=1000),
    "full_width_texts": prefix(services=ALL_UP)
    + message(REGISTER, b"N" * 64, service=b"S" * 64, extra=b"E" * 512, timeout_ms=2000)
    + message(FEED, b"N" * 64),
    "empty_name": prefix(services=ALL_UP)
    + message(REGISTER, b"", service=b"", timeout_ms=0)
    + message(FEED, b"") + message(CANCEL, b""),
    "four_clients_small_chunks": prefix(clients=4, chunk=2, services=ALL_UP)
    + b"".join(message(REGISTER, b"C%d" % i, timeout_ms=2000) for i in range(4))
    + b"".join(message(FEED, b"C%d" % i) for i in range(4)),
    "two_clients_runs_partial_tail": prefix(clients=2, chunk=4, runs=True, step=3, services=0x7FFF)
    + message(REGISTER, b"P", timeout_ms=1000) + message(REGISTER, b"Q", service=b"DUZI", timeout_ms=NEVER)
    + message(FEED, b"P")[:300],
}


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
