"""Task functions of bench/pool_workloads.py, in a module of their own.

Process workers unpickle a task by importing the module its function lives in:
here, a module they find by name whichever script started them. Also the loopback server that the socket workload talks to
(``python bench/_workloads.py serve``).
"""

import socket
import socketserver
import sys
import threading
import time
import zlib

# The socket workload: a request of this size, an answer of REPLY_BYTES after
# REPLY_DELAY seconds, the time a nearby service takes to think.
REQUEST_BYTES = 16
REPLY_BYTES = 64 * 1024
REPLY_DELAY = 0.002


def spin(n):
    """Pure-Python arithmetic: holds the interpreter lock throughout."""
    total = 0
    for i in range(n):
        total += i * i % 7
    return total


def compress(buf):
    """zlib releases the interpreter lock while it compresses."""
    return len(zlib.compress(buf, 6))


def sort_array(a):
    """numpy releases the interpreter lock while it sorts."""
    import numpy as np

    return float(np.sort(a)[len(a) // 2])


def nap(seconds):
    time.sleep(seconds)


def fetch(address):
    """One request to the loopback server: connect, ask, read the whole answer."""
    with socket.create_connection(address, timeout=10.0) as conn:
        conn.sendall(b"x" * REQUEST_BYTES)
        got = 0
        while got < REPLY_BYTES:
            chunk = conn.recv(65536)
            if not chunk:
                raise ConnectionError(f"the server closed after {got} of {REPLY_BYTES} bytes")
            got += len(chunk)
    return got


def noop():
    return None


def checksum(buf):
    return zlib.crc32(buf)


class _Handler(socketserver.BaseRequestHandler):
    reply = b"y" * REPLY_BYTES

    def handle(self):
        need = REQUEST_BYTES
        while need > 0:
            chunk = self.request.recv(need)
            if not chunk:
                return
            need -= len(chunk)
        time.sleep(REPLY_DELAY)
        self.request.sendall(self.reply)


class _Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 128


def serve():
    """Answers on a free loopback port until killed; prints the port, then serves."""
    with _Server(("127.0.0.1", 0), _Handler) as server:
        print(server.server_address[1], flush=True)
        # Ends with its parent: stdin closes when the bench exits, however it exits.
        threading.Thread(target=lambda: (sys.stdin.read(), server.shutdown()),
                         daemon=True).start()
        server.serve_forever(poll_interval=0.5)


if __name__ == "__main__" and sys.argv[1:] == ["serve"]:
    serve()
