#!/usr/bin/env bash
# The GET requests tshark decrypts from a capture with its key log, in frame order, one a line:
# the number of the frame that completed the request's headers, a tab, and the address
# ("https://" + Host + target for HTTP/1.x, the full URI for HTTP/2).
#   tests/tls/tshark-requests.sh CAPTURE KEYLOG
set -euo pipefail
capture=${1:?capture} keys=${2:?key log}
tshark -n -r "$capture" -o "tls.keylog_file:$keys" -Y 'http.request or http2.type == 1' \
    -T fields -E occurrence=a -E aggregator='|' -e frame.number -e http.request.method -e http.request.full_uri \
    -e http2.headers.method -e http2.request.full_uri 2>/dev/null |
    awk -F'\t' '{
        n = split($2, m1, "|"); split($3, u1, "|")
        for (i = 1; i <= n; i++) if (m1[i] == "GET") print $1 "\t" u1[i]
        n = split($4, m2, "|"); split($5, u2, "|")
        for (i = 1; i <= n; i++) if (m2[i] == "GET") print $1 "\t" u2[i]
    }'
