# Answers /videoplayback?...&itag=N&mime=TYPE&range=A-B as web video hosts do: 200, typed by the mime
# parameter, with only bytes A to B of the file itagN (in the directory given). Behind nginx, on
# 127.0.0.1 only.
#   python3 videoplayback-server.py DIRECTORY PORT
import http.server
import os
import sys
import urllib.parse

directory, port = sys.argv[1], int(sys.argv[2])


class Slices(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query)
        name = os.path.join(directory, "itag" + query["itag"][0])
        first, last = (int(n) for n in query["range"][0].split("-"))
        with open(name, "rb") as media:
            media.seek(first)
            body = media.read(last - first + 1)
        self.send_response(200)
        self.send_header("Content-Type", query["mime"][0])
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


http.server.ThreadingHTTPServer(("127.0.0.1", port), Slices).serve_forever()
