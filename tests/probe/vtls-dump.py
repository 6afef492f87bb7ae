#!/usr/bin/python3
"""Prints velmora-tls's record stream (probe/ProbeWire.h) as text, for the tests that run the helper.

  vtls-dump.py FILE            one line per record
  vtls-dump.py --calls FILE    one line per call: its chunks joined, checked for order and completeness

Lines: process PID COMM PATH | connection PID COMM HANDLE FD LOCAL REMOTE |
data PID TID COMM LIBRARY DIRECTION HANDLE SEQUENCE OFFSET CALLBYTES FLAGS BYTES, with BYTES escaped as
Python writes bytes. A malformed stream ends with "malformed ..." and exit status 1.
"""
import ipaddress
import struct
import sys

HEADER = struct.Struct("<IHHIIQQ16s")
DATA = struct.Struct("<QIIBBH")
CONNECTION = struct.Struct("<IHHHH16s16s")
LIBRARIES = {1: "openssl", 2: "gnutls", 3: "nspr", 4: "nss"}
DIRECTIONS = {0: "sent", 1: "received"}


def records(blob):
    at = 0
    while at < len(blob):
        if len(blob) - at < HEADER.size:
            raise ValueError(f"{len(blob) - at} bytes left at {at}, less than a header")
        size, kind, flags, pid, tid, time_ns, handle, comm = HEADER.unpack_from(blob, at)
        if size < HEADER.size or size > 48 + 20 + 4096 or at + size > len(blob):
            raise ValueError(f"record at {at} has size {size}")
        body = blob[at + HEADER.size:at + size]
        yield kind, flags, pid, tid, time_ns, handle, comm.rstrip(b"\0").decode(errors="replace"), body
        at += size


def address(family, raw, port):
    ip = ipaddress.ip_address(raw[:4] if family == 2 else raw)
    return f"{ip}:{port}" if family == 2 else f"[{ip}]:{port}"


def main():
    calls_mode = sys.argv[1] == "--calls"
    blob = open(sys.argv[-1], "rb").read()
    calls = {}
    order = []
    try:
        for kind, flags, pid, tid, time_ns, handle, comm, body in records(blob):
            if kind == 3:
                if not calls_mode:
                    print(f"process {pid} {comm} {body.decode(errors='replace')}")
            elif kind == 2:
                fd, family, lport, rport, _, local, remote = CONNECTION.unpack_from(body)
                if not calls_mode:
                    print(f"connection {pid} {comm} {handle:#x} {fd} {address(family, local, lport)} "
                          f"{address(family, remote, rport)}")
            elif kind == 1:
                sequence, call_bytes, offset, library, direction, _ = DATA.unpack_from(body)
                data = body[DATA.size:]
                lib, way = LIBRARIES.get(library, str(library)), DIRECTIONS.get(direction, str(direction))
                if not calls_mode:
                    print(f"data {pid} {tid} {comm} {lib} {way} {handle:#x} {sequence} {offset} {call_bytes} "
                          f"{flags} {data!r}")
                    continue
                key = (pid, handle, direction, sequence)
                if key not in calls:
                    order.append(key)
                    calls[key] = [pid, tid, comm, lib, way, handle, sequence, call_bytes, flags, b""]
                call = calls[key]
                if offset != len(call[9]):
                    raise ValueError(f"call {key} has a chunk at {offset} after {len(call[9])} bytes")
                call[9] += data
                call[8] |= flags
            else:
                raise ValueError(f"record type {kind}")
    except ValueError as error:
        print(f"malformed {error}")
        return 1
    for key in order:
        pid, tid, comm, lib, way, handle, sequence, call_bytes, flags, data = calls[key]
        complete = "whole" if flags & 2 and (len(data) == call_bytes or flags & 1) else "partial"
        print(f"call {pid} {tid} {comm} {lib} {way} {handle:#x} {sequence} {call_bytes} {complete} {data!r}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
