"""What the loopback peers share: the command line (--dir DIR [--tls]), a
self-signed certificate made with the openssl command, a threaded server on
127.0.0.1 at a port of the system's choice that numbers what it records, and
the port reported in DIR/port once connections are accepted."""

import argparse
import os
import socketserver
import ssl
import subprocess
import threading


def write_atomic(path, data):
    """Readers see the old content or the new, never half."""
    with open(path + ".tmp", "wb") as f:
        f.write(data)
    os.rename(path + ".tmp", path)


def make_certificate(folder, extra):
    key = os.path.join(folder, "key.pem")
    cert = os.path.join(folder, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-batch", "-nodes", "-days", "2",
                    "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-subj", "/CN=loopback-test", *extra, "-keyout", key, "-out", cert],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


class Server(socketserver.ThreadingMixIn, socketserver.TCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, folder, handler, context):
        self.dir = folder
        self.context = context
        self.lock = threading.Lock()
        self.count = 0
        super().__init__(("127.0.0.1", 0), handler)

    def finish_request(self, request, client_address):
        # The handshake runs on the connection's own thread, so one stalled
        # client cannot hold up the others.
        if self.context is not None:
            request.settimeout(60)
            try:
                request = self.context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                return
        super().finish_request(request, client_address)

    def save(self, folder, suffix, data):
        """Writes data to DIR/folder/<n><suffix>, numbered from 1."""
        with self.lock:
            self.count += 1
            number = self.count
        write_atomic(os.path.join(self.dir, folder, "%d%s" % (number, suffix)), data)


def serve(handler, folder=None, tls=False, cert_extra=()):
    """Runs the server for the command line; tls: always, else on --tls."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--dir", required=True)
    parser.add_argument("--tls", action="store_true")
    args = parser.parse_args()
    if folder:
        os.makedirs(os.path.join(args.dir, folder), exist_ok=True)
    context = make_certificate(args.dir, cert_extra) if tls or args.tls else None
    server = Server(args.dir, handler, context)
    write_atomic(os.path.join(args.dir, "port"), b"%d\n" % server.server_address[1])
    server.serve_forever()
