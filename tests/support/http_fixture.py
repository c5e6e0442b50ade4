#!/usr/bin/env python3
"""Loopback HTTP and HTTPS server for the HTTP client's tests (standard library only).

Listens on 127.0.0.1 on ports the OS picks and, once it accepts connections, prints
"READY http=<port> https=<port> closed=<port>": https has a self-signed certificate, closed has no
listener. Ends on SIGTERM or when its parent goes.

Answers (query parameters in brackets):
  /text      [body, enc=utf-8|cp1252, charset, mode=length|chunked|close, conn=close,
              status, setcookie, location]      the body text encoded as asked
  /bytes     [size, mode, conn]                 size bytes of the pattern (i * 31 + i // 4093) & 0xFF
  /slow      [size, chunks, delay_ms, first_ms]  Content-Length, the body in pieces with pauses
                                                (first_ms before the first piece, default delay_ms)
  /stall     [ms]                               headers only after ms milliseconds of silence
  /drop                                         closes the connection without an answer
  /flaky     [key, fails]                       drops the first `fails` requests of key, then answers
  /gate      [name, body]                       answers once /__open?name= was requested (at most 60 s)
  /echo                                         answers with the request body
  anything else                                 "ok"
A request through the server as a proxy (absolute target) is answered by the same rules.

Control (never recorded): /__clear, /__open?name=, /__requests, which lists every other request,
oldest first: "REQ <method> <hex target> <client port>", one "H <hex name> <hex value>" per header
line, "B <hex body>", "END".
"""

import http.server
import os
import signal
import socket
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

GATE_LIMIT_S = 60.0      # a gate nobody opens releases its request after this long
PARENT_POLL_S = 0.5      # how often the fixture checks that its parent is still alive
CHUNK_BYTES = 1000       # piece size of chunked answers

_lock = threading.Lock()
_records = []
_flaky_counts = {}
_gates = {}


def _gate(name):
    with _lock:
        return _gates.setdefault(name, threading.Event())


def _pattern(size):
    # The test helpers' pattern (tests/support/Loopback.cpp), repeating only every few kilobytes.
    return bytes((i * 31 + i // 4093) & 0xFF for i in range(size))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "QvFixture"
    sys_version = ""

    def log_message(self, fmt, *args):
        pass

    def _record(self, body):
        with _lock:
            _records.append((self.command, self.path, self.client_address[1], list(self.headers.items()), body))

    def _send(self, status, body, ctype="text/plain", mode="length", extra=(), close=False):
        if mode == "close":
            close = True
        self.send_response(status)
        self.send_header("Content-Type", ctype)
        for name, value in extra:
            self.send_header(name, value)
        if mode == "chunked":
            self.send_header("Transfer-Encoding", "chunked")
        elif mode != "close":
            self.send_header("Content-Length", str(len(body)))
        if close:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if mode == "chunked":
            for at in range(0, len(body), CHUNK_BYTES):
                piece = body[at:at + CHUNK_BYTES]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\n\r\n")
        else:
            self.wfile.write(body)
        self.wfile.flush()

    def _drop(self):
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def do_GET(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))  # the client always sends one
        split = urllib.parse.urlsplit(self.path)
        path = split.path
        query = {k: v[-1] for k, v in urllib.parse.parse_qs(split.query, keep_blank_values=True).items()}
        if path.startswith("/__"):
            return self._control(path, query)
        self._record(body)

        mode = query.get("mode", "length")
        close = query.get("conn") == "close"
        if path == "/text":
            data = query.get("body", "").encode(query.get("enc", "utf-8"))
            ctype = "text/html" + ("; charset=" + query["charset"] if "charset" in query else "")
            extra = [(header, query[key]) for key, header in (("setcookie", "Set-Cookie"), ("location", "Location"))
                     if key in query]
            return self._send(int(query.get("status", "200")), data, ctype, mode, extra, close)
        if path == "/bytes":
            return self._send(200, _pattern(int(query.get("size", "0"))), "application/octet-stream", mode,
                              close=close)
        if path == "/slow":
            data = _pattern(int(query.get("size", "0")))
            chunks = max(1, int(query.get("chunks", "4")))
            delay = int(query.get("delay_ms", "50")) / 1000.0
            pause = int(query.get("first_ms", query.get("delay_ms", "50"))) / 1000.0
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.flush()
            step = (len(data) + chunks - 1) // chunks or 1
            for at in range(0, len(data), step):
                time.sleep(pause if at == 0 else delay)
                self.wfile.write(data[at:at + step])
                self.wfile.flush()
            return
        if path == "/stall":
            time.sleep(int(query.get("ms", "1000")) / 1000.0)
            return self._send(200, b"late", close=True)
        if path == "/drop":
            return self._drop()
        if path == "/flaky":
            key = query.get("key", "")
            with _lock:
                seen = _flaky_counts.get(key, 0)
                _flaky_counts[key] = seen + 1
            if seen < int(query.get("fails", "1")):
                return self._drop()
            return self._send(200, b"<html>recovered</html>", "text/html")
        if path == "/gate":
            _gate(query.get("name", "")).wait(GATE_LIMIT_S)
            return self._send(200, query.get("body", "opened").encode("utf-8"), close=close)
        if path == "/echo":
            return self._send(200, body, "application/octet-stream", close=close)
        return self._send(200, b"ok", close=close)

    do_POST = do_PUT = do_DELETE = do_HEAD = do_GET  # a HEAD is refused before it is sent: recorded if not

    def _control(self, path, query):
        if path == "/__requests":
            lines = []
            with _lock:
                for method, target, port, headers, body in _records:
                    lines.append("REQ %s %s %d" % (method, target.encode().hex() or "-", port))
                    lines += ["H %s %s" % (n.encode("latin-1").hex() or "-", v.encode("latin-1").hex() or "-")
                              for n, v in headers]
                    lines += ["B %s" % (body.hex() or "-"), "END"]
            return self._send(200, ("\n".join(lines) + "\n").encode("ascii"), close=True)
        if path == "/__clear":
            with _lock:
                _records.clear()
                _flaky_counts.clear()
            return self._send(200, b"cleared", close=True)
        if path == "/__open":
            _gate(query.get("name", "")).set()
            return self._send(200, b"opened", close=True)
        return self._send(404, b"unknown control", close=True)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = False

    def __init__(self, name, context=None):
        self.name = name
        self.context = context
        super().__init__(("127.0.0.1", 0), Handler)

    def finish_request(self, request, client_address):
        # The TLS handshake runs on the connection's own thread, so a stuck client blocks nobody else.
        if self.context is None:
            return super().finish_request(request, client_address)
        try:
            with self.context.wrap_socket(request, server_side=True) as tls:
                self.RequestHandlerClass(tls, client_address, self)
        except (ssl.SSLError, OSError):
            pass  # a failed handshake or a client gone mid-answer, as below

    def handle_error(self, request, client_address):
        pass  # a client that goes away mid-answer is part of the tests


def _make_certificate(folder):
    """A self-signed certificate for CN=localhost, valid for 30 days."""
    key, cert = os.path.join(folder, "self.key"), os.path.join(folder, "self.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-keyout", key, "-out", cert, "-subj", "/CN=localhost", "-days", "30"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def _closed_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _watch_parent(parent):
    while True:
        time.sleep(PARENT_POLL_S)
        if os.getppid() != parent:
            os._exit(0)


def main():
    parent = os.getppid()
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    with tempfile.TemporaryDirectory(prefix="qvfixture") as folder:
        self_signed = _make_certificate(folder)

    servers = [Server("http"), Server("https", self_signed)]
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    threading.Thread(target=_watch_parent, args=(parent,), daemon=True).start()
    ports = " ".join("%s=%d" % (s.name, s.server_address[1]) for s in servers)
    print("READY %s closed=%d" % (ports, _closed_port()), flush=True)
    threading.Event().wait()


if __name__ == "__main__":
    main()
