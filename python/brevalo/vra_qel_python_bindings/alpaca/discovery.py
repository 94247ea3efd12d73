"""Alpaca's UDP discovery: answer ``alpacadiscovery1`` with ``{"AlpacaPort": N}``.

The responder listens on every address with SO_REUSEADDR and SO_REUSEPORT, so that several servers
on one machine share the port and each hears a broadcast probe. A server that serves only loopback
answers only probes from this machine.
"""

from __future__ import annotations

import ipaddress
import json
import logging
import socket
import threading
from typing import Optional

log = logging.getLogger(__name__)

PROBE = b"alpacadiscovery"
DEFAULT_PORT = 32227


def is_loopback(host: str) -> bool:
    try:
        return ipaddress.ip_address(host.strip("[]")).is_loopback
    except ValueError:
        return host == "localhost"


class DiscoveryResponder:
    def __init__(self, port: int, alpaca_port: int, serves_network: bool) -> None:
        self.alpaca_port = alpaca_port
        self.serves_network = serves_network
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if hasattr(socket, "SO_REUSEPORT"):
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        self.sock.settimeout(0.25)
        try:
            self.sock.bind(("", port))
        except OSError:
            self.sock.close()
            raise
        self.port = self.sock.getsockname()[1]

    def start(self) -> None:
        self._thread = threading.Thread(target=self._serve, name="alpaca-discovery", daemon=True)
        self._thread.start()

    def answers(self, data: bytes, sender: str) -> bool:
        """Whether a datagram is a probe that this server answers."""
        return data.startswith(PROBE) and len(data) <= 64 and (self.serves_network or is_loopback(sender))

    def _serve(self) -> None:
        reply = json.dumps({"AlpacaPort": self.alpaca_port}).encode()
        while not self._stop.is_set():
            try:
                data, sender = self.sock.recvfrom(1024)
            except socket.timeout:
                continue
            except OSError:
                if self._stop.is_set():
                    return
                continue
            if self.answers(data, sender[0]):
                try:
                    self.sock.sendto(reply, sender)
                except OSError as error:
                    log.debug("discovery reply to %s failed: %s", sender, error)

    def stop(self) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join(2)
        self.sock.close()
