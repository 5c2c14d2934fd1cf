#!/usr/bin/env python3
"""A local HTTPS server for the public-address lookup's tests: https_reply_server.py CERT KEY listens
on 127.0.0.1 with that certificate, one port per way of answering (below; any GET alike), prints
one line of JSON mapping each way to its port, then serves until it is killed."""

import http.server
import json
import socketserver
import ssl
import sys
import threading
import time

LIMIT = 64 * 1024


def padded(address, size):
    """A JSON object with "ip_addr" and padding, exactly `size` bytes long."""
    head = '{"ip_addr": "%s", "pad": "' % address
    return (head + "x" * (size - len(head) - 2) + '"}').encode()


# name: (status, body, announce the length)
ANSWERS = {
    "good": (200, b'{"ip_addr": "203.0.113.7", "remote_host": "unavailable", "user_agent": "trellis"}', True),
    "no-ip": (200, b'{"remote_host": "unavailable"}', True),
    "plain-text": (200, b"203.0.113.7\n", True),
    "server-error": (503, b'{"ip_addr": "203.0.113.9"}', True),
    "at-limit": (200, padded("203.0.113.8", LIMIT), False),
    "over-limit": (200, padded("203.0.113.8", LIMIT + 1), False),
    "over-limit-announced": (200, padded("203.0.113.8", 4 * LIMIT), True),
    "silent": None,  # reads the request and never answers
}


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def handler_for(answer):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.0"  # the connection closes after each reply

        def do_GET(self):
            if answer is None:
                time.sleep(3600)
                return
            status, body, announce = answer
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            if announce:
                self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    return Handler


def main():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[1], sys.argv[2])
    ports = {}
    for name, answer in ANSWERS.items():
        server = Server(("127.0.0.1", 0), handler_for(answer))
        server.socket = context.wrap_socket(server.socket, server_side=True)
        ports[name] = server.server_address[1]
        threading.Thread(target=server.serve_forever, daemon=True).start()
    print(json.dumps(ports), flush=True)
    threading.Event().wait()


if __name__ == "__main__":
    main()
