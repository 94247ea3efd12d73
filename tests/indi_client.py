"""A small INDI client for the tests: an indiserver on loopback, a reader thread recording every
property update (with its arrival time) and every BLOB, and waits on what arrives."""

from __future__ import annotations

import base64
import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
import xml.etree.ElementTree as ET
from dataclasses import dataclass, field
from typing import Any, Callable, Optional

DRIVER = "indi_qel_ccd"


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class Server:
    """``indiserver`` on its own port and socket path, running drivers with the given environment."""

    def __init__(self, folder: Any, drivers: list[str], env: Optional[dict[str, str]] = None) -> None:
        self.port = free_port()
        self.log_path = os.path.join(folder, f"indiserver-{self.port}.log")
        bindir = os.path.dirname(sys.executable)
        environment = {**os.environ, **(env or {}), "PATH": bindir + os.pathsep + os.environ.get("PATH", "")}
        with open(self.log_path, "w") as log:
            self.process = subprocess.Popen(
                ["indiserver", "-v", "-p", str(self.port), "-u", os.path.join(folder, f"indi-{self.port}.sock"), *drivers],
                stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=environment,
            )

    def log(self) -> str:
        with open(self.log_path) as log:
            return log.read()

    def driver_pids(self) -> list[int]:
        return [int(p) for p in re.findall(r"Driver \S+: pid=(\d+)", self.log())]

    def stop(self) -> None:
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def tools_missing() -> Optional[str]:
    for tool in ("indiserver", "indi_getprop", "indi_setprop"):
        if shutil.which(tool) is None:
            return f"{tool} is not installed (Debian package indi-bin)"
    try:
        import indipydriver  # noqa: F401
    except ImportError:
        return "the indi extra (indipydriver) is not installed"
    if shutil.which(DRIVER, path=os.path.dirname(sys.executable)) is None:
        return f"{DRIVER} is not installed beside {sys.executable}"
    return None


@dataclass
class Update:
    at: float  # time.monotonic() of arrival
    tag: str
    device: str
    name: str
    state: Optional[str]
    values: dict[str, str]
    message: Optional[str]
    attrib: dict[str, str] = field(default_factory=dict)


class Client:
    """Connects to a server, asks for every property and BLOB, and records what comes."""

    def __init__(self, port: int, timeout: float = 20) -> None:
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.sock = socket.create_connection(("127.0.0.1", port), timeout=2)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.1)
        self.sock.settimeout(None)
        self.updates: list[Update] = []
        self.defs: dict[tuple[str, str], Update] = {}
        self.current: dict[tuple[str, str], Update] = {}
        self.blobs: list[tuple[float, str, bytes, dict[str, str]]] = []
        self.messages: list[tuple[float, str, str]] = []
        self.changed = threading.Condition()
        self.closed = False
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        self.send("<getProperties version='1.7'/>")

    def send(self, text: str) -> None:
        self.sock.sendall(text.encode())

    def close(self) -> None:
        self.closed = True
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        self.reader.join(5)

    def _read(self) -> None:
        parser = ET.XMLPullParser(events=("start", "end"))
        parser.feed(b"<root>")
        depth = 0
        while not self.closed:
            try:
                data = self.sock.recv(1 << 20)
            except OSError:
                break
            if not data:
                break
            parser.feed(data)
            for event, element in parser.read_events():
                if event == "start":
                    depth += 1
                    continue
                depth -= 1
                if depth == 1:
                    self._take(element)
                    element.clear()

    def _take(self, element: ET.Element) -> None:
        now = time.monotonic()
        device, name = element.get("device", ""), element.get("name", "")
        with self.changed:
            if element.tag == "message":
                self.messages.append((now, device, element.get("message", "")))
            elif element.tag == "setBLOBVector":
                for blob in element:
                    data = base64.b64decode("".join((blob.text or "").split()))
                    self.blobs.append((now, device, data, dict(blob.attrib)))
            elif element.tag.startswith(("def", "set")):
                values = {m.get("name", ""): (m.text or "").strip() for m in element}
                update = Update(now, element.tag, device, name, element.get("state"), values,
                                element.get("message"), dict(element.attrib))
                self.updates.append(update)
                key = (device, name)
                if element.tag.startswith("def"):
                    self.defs[key] = update
                    self.current[key] = update
                else:
                    merged = dict(self.current[key].values) if key in self.current else {}
                    merged.update(values)
                    update.values = merged
                    self.current[key] = update
            self.changed.notify_all()

    def wait(self, condition: Callable[[], Any], timeout: float = 20, what: str = "") -> Any:
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                found = condition()
                if found:
                    return found
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"not within {timeout} s: {what or condition}")
                self.changed.wait(left)

    def devices(self) -> set[str]:
        return {device for device, _name in self.defs}

    def value(self, device: str, name: str, element: str) -> str:
        return self.current[(device, name)].values[element]

    def state(self, device: str, name: str) -> Optional[str]:
        return self.current[(device, name)].state

    def since(self, mark: float, device: str, name: str) -> list[Update]:
        with self.changed:
            return [u for u in self.updates if u.at >= mark and u.device == device and u.name == name]

    def enable_blobs(self, device: str) -> None:
        self.send(f'<enableBLOB device="{device}">Also</enableBLOB>')

    def new(self, kind: str, device: str, name: str, values: dict[str, Any]) -> float:
        """Sends a new*Vector and returns the time it went."""
        members = "".join(f'<one{kind} name="{k}">{v}</one{kind}>' for k, v in values.items())
        mark = time.monotonic()
        self.send(f'<new{kind}Vector device="{device}" name="{name}">{members}</new{kind}Vector>')
        return mark

    def set_number(self, device: str, name: str, **values: Any) -> float:
        return self.new("Number", device, name, values)

    def set_switch(self, device: str, name: str, on: str) -> float:
        return self.new("Switch", device, name, {on: "On"})

    def answer(self, device: str, name: str, mark: float, timeout: float = 20) -> Update:
        """The first update (not a definition) of a property after ``mark`` that is not Busy."""

        def done() -> Optional[Update]:
            return next((u for u in self.since(mark, device, name) if u.state != "Busy" and u.tag[:3] == "set"), None)

        return self.wait(done, timeout, f"an answer on {device}.{name}")

    def blob_after(self, mark: float, device: str, timeout: float = 30) -> bytes:
        found = self.wait(lambda: next((b for b in self.blobs if b[0] >= mark and b[1] == device), None),
                          timeout, f"a BLOB from {device}")
        return found[2]
