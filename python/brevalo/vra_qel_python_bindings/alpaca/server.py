"""``qel-alpaca``: every connected camera as an ASCOM Alpaca Camera device, over HTTP.

falcon answers the requests, waitress serves them: a thread pool runs the members while one I/O
thread reads requests and writes replies, so status polls are answered while images download.
Requests are limited in size, idle connections in time.
"""

from __future__ import annotations

import argparse
import logging
import re
import signal
import sys
import threading
from typing import Any, Optional, Sequence

from .. import __version__

PROG = "qel-alpaca"
EXTRA_HINT = "pip install 'brevalo-vra-qel-python-bindings[alpaca]'"
DEFAULT_PORT = 11111
# waitress: threads that run members; limits on what one request may send, and on idle connections
THREADS = 16
MAX_BODY = 1 << 20
MAX_HEADER = 64 << 10
IDLE_TIMEOUT_S = 30
MAX_CONNECTIONS = 64
# a full frame's reply stays in memory instead of a temporary file
OUTPUT_BUFFER = 64 << 20
POLL_S = 0.2

log = logging.getLogger(__name__)


def _bad_path(req: Any, resp: Any, **_: Any) -> None:
    resp.status = 400
    resp.content_type = "text/plain; charset=utf-8"
    resp.text = f"no such path {req.path[:100]!r}: see /management/v1/configureddevices and /setup"


def _server_fault(req: Any, resp: Any, error: Exception, params: Any) -> None:
    log.error("%s %s failed", req.method, req.path, exc_info=error)
    resp.status = 500
    resp.content_type = "text/plain; charset=utf-8"
    resp.text = "internal server error"


def make_app(devices: Sequence[Any], location: str = "") -> Any:
    """The falcon application of these camera devices."""
    import falcon

    from .management import Management
    from .pages import SetupPages
    from .protocol import ApiSink, Transactions

    transactions = Transactions()
    by_type = {"camera": list(devices)}
    app = falcon.App()
    app.add_error_handler(Exception, _server_fault)
    management = Management(by_type, transactions, location)
    app.add_route("/management/apiversions", management, suffix="versions")
    app.add_route("/management/v1/description", management, suffix="description")
    app.add_route("/management/v1/configureddevices", management, suffix="devices")
    pages = SetupPages(by_type["camera"])
    app.add_route("/setup", pages, suffix="index")
    app.add_route("/setup/v1/camera/{number}/setup", pages, suffix="camera")
    app.add_route("/setup/v1/camera/{number}/preview.png", pages, suffix="preview")
    app.add_sink(_bad_path, prefix=re.compile(r"/"))
    app.add_sink(ApiSink(by_type, transactions), prefix=re.compile(r"/api(?:/|$)"))
    return app


class AlpacaServer:
    """The cameras, the HTTP server and the discovery responder; ``serve`` runs until ``stop``."""

    def __init__(self, host: str = "127.0.0.1", port: int = DEFAULT_PORT, discovery_port: int = 0, threads: int = THREADS) -> None:
        self.host, self.requested_port, self.discovery_port, self.threads = host, port, discovery_port, threads
        self.cameras: list[Any] = []
        self.devices: list[Any] = []
        self.port = 0
        self._server: Any = None
        self._discovery: Any = None
        self._stop = threading.Event()

    def open(self) -> "AlpacaServer":
        """Open every camera, bind the port and start discovery; the server serves from ``serve``."""
        import waitress  # type: ignore[import-untyped]

        from .. import qel
        from ..camera import Camera
        from .device import CameraDevice
        from .discovery import DiscoveryResponder, is_loopback

        try:
            for index in range(qel.get_number_of_connected_cameras()):
                self.cameras.append(Camera(index))
            self.devices = [CameraDevice(camera) for camera in self.cameras]
            self._server = waitress.create_server(
                make_app(self.devices), host=self.host, port=self.requested_port, threads=self.threads,
                max_request_body_size=MAX_BODY, max_request_header_size=MAX_HEADER, channel_timeout=IDLE_TIMEOUT_S,
                connection_limit=MAX_CONNECTIONS, outbuf_overflow=OUTPUT_BUFFER, outbuf_high_watermark=OUTPUT_BUFFER,
                ident=PROG,
            )
            self.port = int(self._server.effective_port)
            if self.discovery_port:
                try:
                    self._discovery = DiscoveryResponder(self.discovery_port, self.port, not is_loopback(self.host))
                except OSError as error:  # the cameras are served all the same, at the address printed
                    log.warning("no discovery on UDP port %d: %s", self.discovery_port, error)
                else:
                    self._discovery.start()
        except BaseException:
            self.close()
            raise
        return self

    @property
    def url(self) -> str:
        host = f"[{self.host}]" if ":" in self.host else self.host
        return f"http://{host}:{self.port}"

    def serve(self) -> None:
        server = self._server
        while not self._stop.is_set():
            server.asyncore.loop(timeout=POLL_S, map=server._map, use_poll=True, count=1)

    def stop(self) -> None:
        """End ``serve`` (from any thread or a signal handler) within POLL_S."""
        self._stop.set()

    def close(self) -> None:
        """Stop serving, abort exposures and close the cameras."""
        self._stop.set()
        if self._discovery is not None:
            self._discovery.stop()
            self._discovery = None
        if self._server is not None:
            server, self._server = self._server, None
            server.asyncore.close_all(server._map)
            server.task_dispatcher.shutdown(cancel_pending=True, timeout=1)
        for camera in self.cameras:
            try:
                camera.close()
            except Exception as error:  # closing the others matters more
                log.warning("closing %r: %s", camera, error)
        self.cameras = []

    def __enter__(self) -> "AlpacaServer":
        return self.open()

    def __exit__(self, *exc: object) -> None:
        self.close()


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Serve the connected cameras as ASCOM Alpaca Camera devices.")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to serve on (default 127.0.0.1, this machine only; 0.0.0.0 serves the network)")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT, help=f"HTTP port (default {DEFAULT_PORT}; 0 picks a free one)")
    parser.add_argument("--discovery-port", type=int, default=32227, metavar="PORT",
                        help="UDP port of Alpaca discovery (default 32227; 0 turns discovery off)")
    parser.add_argument("--simulator-config", metavar="FILE", help="configuration of the simulated cameras")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    return parser


class _Interrupted(Exception):
    pass


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    for port in (args.port, args.discovery_port):
        if not 0 <= port <= 65535:
            build_parser().error(f"port {port} is outside 0 .. 65535")
    try:
        import falcon  # noqa: F401
        import waitress  # noqa: F401
    except ImportError:
        print(f"{PROG}: error: the server needs the 'alpaca' extra: {EXTRA_HINT}", file=sys.stderr)
        return 1
    logging.basicConfig(level=logging.WARNING, format=f"{PROG}: %(levelname)s: %(message)s")
    logging.getLogger("waitress.queue").setLevel(logging.ERROR)  # busy moments are no news to the user
    from .discovery import is_loopback

    server = AlpacaServer(args.host, args.port, args.discovery_port)
    caught: list[int] = []

    def on_signal(number: int, _frame: Any) -> None:
        caught.append(number)
        server.stop()

    previous = {s: signal.signal(s, on_signal) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        if args.simulator_config:
            from .. import sim

            sim.load_config(args.simulator_config)
        server.open()
        count = len(server.devices)
        line = f"{PROG}: serving {count} camera{'s' if count != 1 else ''} at {server.url}"
        if not is_loopback(args.host):
            line += " to the network: anyone who reaches this port can use the cameras (Alpaca has no authentication)"
        print(line, flush=True)
        if not caught:
            server.serve()
    except (OSError, RuntimeError, LookupError) as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        server.close()
        return 1
    finally:
        server.close()
        for number, handler in previous.items():
            signal.signal(number, handler)
    return 130 if signal.SIGINT in caught else 0


if __name__ == "__main__":
    sys.exit(main())
