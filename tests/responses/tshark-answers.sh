#!/usr/bin/env bash
# What tshark reads of every answer in a capture (decrypted with its key log when one is given), one
# a line in frame order: the frame that completed the answer's head, the address it answers, the
# status, the Content-Type as sent, the Content-Length and the Content-Range (empty when absent),
# separated by tabs. Bodies are not reassembled, so an HTTP/1.x answer is reported where its head
# ends, as an HTTP/2 one is. HTTP/2 answers are paired with their request by connection and stream id.
# tshark's JSON repeats keys (one per header or frame), so it is read as lists of pairs.
#   tests/responses/tshark-answers.sh CAPTURE [KEYLOG]
set -euo pipefail
capture=${1:?capture} keys=${2:-}
options=()
[ -n "$keys" ] && options=(-o "tls.keylog_file:$keys")
tshark -n -r "$capture" "${options[@]}" -o http.desegment_body:FALSE -Y 'http.response or http2.type == 1' -T json -J 'frame tcp http http2' \
    2>/dev/null | /usr/bin/python3 -c '
import json, sys

def pairs(items):
    return items

def first(node, key):
    """The first value of key anywhere under node (lists of pairs)."""
    if isinstance(node, list):
        for k, v in node:
            if k == key:
                return v
            found = first(v, key)
            if found is not None:
                return found
    return None

def every(node, key):
    if isinstance(node, list):
        for k, v in node:
            if k == key:
                yield v
            else:
                yield from every(v, key)

requests = {}
for packet in json.load(sys.stdin, object_pairs_hook=pairs):
    layers = first(packet, "layers")
    number = first(layers, "frame.number")
    connection = first(layers, "tcp.stream")
    for k, http in layers:
        if k != "http" or first(http, "http.response.code") is None:
            continue
        lines = {}
        for line in every(http, "http.response.line"):
            name, _, value = line.partition(":")
            lines.setdefault(name.strip().lower(), value.strip())
        print("\t".join([number, first(http, "http.response_for.uri") or "", first(http, "http.response.code"),
                         lines.get("content-type", ""), lines.get("content-length", ""),
                         lines.get("content-range", "")]))
    for k, http2 in layers:
        if k != "http2":
            continue
        for stream in every(http2, "http2.stream"):
            if first(stream, "http2.type") != "1":
                continue
            sid = first(stream, "http2.streamid")
            headers = {}
            for header in every(stream, "http2.header"):
                headers.setdefault(first(header, "http2.header.name"), first(header, "http2.header.value") or "")
            if ":method" in headers:
                requests[(connection, sid)] = "%s://%s%s" % (headers.get(":scheme", "https"),
                                                              headers.get(":authority", ""), headers.get(":path", ""))
            elif ":status" in headers:
                print("\t".join([number, requests.get((connection, sid), ""), headers[":status"],
                                 headers.get("content-type", ""), headers.get("content-length", ""),
                                 headers.get("content-range", "")]))
'
