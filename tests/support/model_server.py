#!/usr/bin/env python3
"""Loopback HTTP server for the model installation tests.

usage: model_server.py DIRECTORY LOGFILE [CERTFILE]

Binds 127.0.0.1 on a free port, prints the port on the first line of stdout, then serves the
files of DIRECTORY until it is killed. The first path segment chooses how a file is sent:

  /files/NAME      the whole file, with its Content-Length
  /truncate/NAME   the Content-Length of the whole file, half the bytes, then the connection closes
  /cut/NAME        half the bytes without any Content-Length, then the connection closes
  /stall/NAME      the headers, then nothing at all
  /slow/NAME       the whole file in 10 pieces, 0.1 s apart
  /trickle/NAME    the whole file at about 10 KB/s, 1000 bytes every 0.1 s
  /redirect/REST   302 to /REST

Every request path is appended to LOGFILE, one a line. With CERTFILE (a PEM file holding the
certificate and its key) it speaks HTTPS instead.
"""
import http.server
import os
import ssl
import sys
import time


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        with open(LOG, "a") as log:
            log.write(self.path + "\n")
        mode, _, rest = self.path.lstrip("/").partition("/")
        if mode == "redirect":
            self.send_response(302)
            self.send_header("Location", "/" + rest)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        path = os.path.join(ROOT, os.path.basename(rest))
        if mode not in ("files", "truncate", "cut", "stall", "slow", "trickle") or not os.path.isfile(
            path
        ):
            self.send_error(404)
            return
        with open(path, "rb") as f:
            data = f.read()
        self.send_response(200)
        if mode != "cut":
            self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        if mode == "files":
            self.wfile.write(data)
        elif mode in ("truncate", "cut"):
            self.wfile.write(data[: len(data) // 2])
        elif mode == "stall":
            self.wfile.flush()
            time.sleep(3600)
        elif mode in ("slow", "trickle"):
            step = len(data) // 10 + 1 if mode == "slow" else 1000
            for start in range(0, len(data), step):
                self.wfile.write(data[start : start + step])
                self.wfile.flush()
                time.sleep(0.1)

    def log_message(self, *args):
        pass


ROOT, LOG = sys.argv[1], sys.argv[2]
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
if len(sys.argv) > 3:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[3])
    server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
