"""The Alpaca protocol's rules, in one place, for every device type.

A device class declares its members with ``@get``/``@put`` (path name and parameters with their
types); ``ApiSink`` answers ``/api/v1/{type}/{number}/{member}``: it checks the path, parses the
parameters (GET query names in any case; PUT form names exact, a wrongly cased value parameter is
HTTP 400 and a wrongly cased ``ClientID``/``ClientTransactionID`` is ignored), calls the member, and
wraps its value or error in the JSON envelope with the transaction ids. HTTP 400 (plain text) is for
what the request got wrong; everything a device refuses is HTTP 200 with ``ErrorNumber``.
"""

from __future__ import annotations

import itertools
import json
import logging
import math
import re
import threading
from dataclasses import dataclass
from typing import Any, Callable, ClassVar, Optional
from urllib.parse import parse_qsl

from . import errors
from .errors import AlpacaError, error_number

log = logging.getLogger(__name__)

JSON = "application/json"
IMAGEBYTES = "application/imagebytes"
UINT32 = 2**32
#: At most this many parameters are read from one request.
MAX_FIELDS = 100


class BadRequest(Exception):
    """What the request got wrong: answered with HTTP 400 and this text."""


# ---- parameter types: text -> value, or BadRequest


def _bool(text: str) -> bool:
    lowered = text.strip().lower()
    if lowered == "true":
        return True
    if lowered == "false":
        return False
    raise ValueError("not true or false")


_INTEGER = re.compile(r"[+-]?[0-9]{1,30}")


def _int(text: str) -> int:
    text = text.strip()
    if not _INTEGER.fullmatch(text):
        raise ValueError("not an integer")
    return int(text)


_NUMBER = re.compile(r"[+-]?(?:(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?|nan|inf|infinity)", re.IGNORECASE)


def _float(text: str) -> float:
    text = text.strip()
    if len(text) > 400 or not _NUMBER.fullmatch(text):
        raise ValueError("not a number")
    return float(text)


def _str(text: str) -> str:
    return text


PARSERS: dict[type, Callable[[str], Any]] = {bool: _bool, int: _int, float: _float, str: _str}
TYPE_NAMES = {bool: "true or false", int: "an integer", float: "a number", str: "text"}


def uint32(name: str, text: str) -> int:
    try:
        value = _int(text)
    except ValueError:
        value = -1
    if not 0 <= value < UINT32:
        raise BadRequest(f"{name} {text[:40]!r} is not an unsigned 32-bit integer")
    return value


# ---- members


@dataclass(frozen=True)
class Member:
    """One member of a device: HTTP method, path name, parameters (exact names and types)."""

    method: str
    name: str
    params: tuple[tuple[str, type], ...]
    function: Callable[..., Any]
    connected: bool  # needs a connected device


def _member(method: str, name: str, connected: bool, params: dict[str, type]) -> Callable[[Callable[..., Any]], Callable[..., Any]]:
    def mark(function: Callable[..., Any]) -> Callable[..., Any]:
        rows = getattr(function, "_alpaca_members", [])
        rows.append(Member(method, name, tuple(params.items()), function, connected))
        function._alpaca_members = rows  # type: ignore[attr-defined]
        return function

    return mark


def get(name: str, connected: bool = True, **params: type) -> Callable[[Callable[..., Any]], Callable[..., Any]]:
    """Declare a GET member (``name`` as in the path, lower case)."""
    return _member("GET", name, connected, params)


def put(name: str, connected: bool = True, **params: type) -> Callable[[Callable[..., Any]], Callable[..., Any]]:
    """Declare a PUT member with its form parameters, e.g. ``@put("binx", BinX=int)``."""
    return _member("PUT", name, connected, params)


@dataclass(frozen=True)
class Image:
    """A member's value that is an image: JSON ``ImageArray`` or ImageBytes, as the client asks."""

    array: Any  # numpy, (height, width) or (height, width, planes)


class Device:
    """The members every Alpaca device has; a device type subclasses it and adds its own."""

    device_type: ClassVar[str] = ""
    interface_version: ClassVar[int] = 1
    members: ClassVar[dict[tuple[str, str], Member]] = {}

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        table: dict[tuple[str, str], Member] = {}
        for klass in reversed(cls.__mro__):
            for value in vars(klass).values():
                for row in getattr(value, "_alpaca_members", ()):
                    table[(row.method, row.name)] = row
        cls.members = table

    def __init__(self) -> None:
        self.connected = False
        self._connection = threading.Lock()

    # hooks for a device type
    name = "device"
    description = ""
    driver_info = ""
    driver_version = "1.0"

    def actions(self) -> dict[str, Callable[[str], str]]:
        """Action name -> function of the parameters text."""
        return {}

    def state(self) -> list[tuple[str, Any]]:
        """The operational state for ``DeviceState``, as (name, value) pairs."""
        return []

    def on_connect(self) -> None: ...

    def on_disconnect(self) -> None: ...

    # members of every device

    @get("connected", connected=False)
    def get_connected(self) -> bool:
        return self.connected

    @put("connected", connected=False, Connected=bool)
    def put_connected(self, Connected: bool) -> None:
        self.connect() if Connected else self.disconnect()

    @put("connect", connected=False)
    def connect(self) -> None:
        with self._connection:
            if not self.connected:
                self.on_connect()
                self.connected = True

    @put("disconnect", connected=False)
    def disconnect(self) -> None:
        with self._connection:
            if self.connected:
                self.connected = False
                self.on_disconnect()

    @get("connecting", connected=False)
    def get_connecting(self) -> bool:
        return False  # connecting opens nothing: the server holds its cameras open

    @get("description", connected=False)
    def get_description(self) -> str:
        return self.description

    @get("driverinfo", connected=False)
    def get_driver_info(self) -> str:
        return self.driver_info

    @get("driverversion", connected=False)
    def get_driver_version(self) -> str:
        return self.driver_version

    @get("interfaceversion", connected=False)
    def get_interface_version(self) -> int:
        return self.interface_version

    @get("name", connected=False)
    def get_name(self) -> str:
        return self.name

    @get("supportedactions", connected=False)
    def get_supported_actions(self) -> list[str]:
        return list(self.actions())

    @get("devicestate")
    def get_device_state(self) -> list[dict[str, Any]]:
        return [{"Name": name, "Value": value} for name, value in self.state()]

    @put("action", Action=str, Parameters=str)
    def action(self, Action: str, Parameters: str) -> str:
        for name, function in self.actions().items():
            if name.lower() == Action.strip().lower():
                return function(Parameters)
        raise AlpacaError(errors.ACTION_NOT_IMPLEMENTED, f"no action {Action[:80]!r}; see SupportedActions")

    @put("commandblind", Command=str, Raw=str)
    def command_blind(self, Command: str, Raw: str) -> None:
        raise errors.NotImplementedMember("CommandBlind")

    @put("commandbool", Command=str, Raw=str)
    def command_bool(self, Command: str, Raw: str) -> None:
        raise errors.NotImplementedMember("CommandBool")

    @put("commandstring", Command=str, Raw=str)
    def command_string(self, Command: str, Raw: str) -> None:
        raise errors.NotImplementedMember("CommandString")


# ---- requests


class Transactions:
    """ServerTransactionID: from 1 upward, unique across every request of the server."""

    def __init__(self) -> None:
        self._counter = itertools.count(1)
        self._lock = threading.Lock()

    def next(self) -> int:
        with self._lock:
            return (next(self._counter) - 1) % (UINT32 - 1) + 1


@dataclass
class Call:
    """A parsed request to a member."""

    member: Member
    values: dict[str, Any]
    client_id: int
    client_transaction: int


_ID_NAMES = ("ClientID", "ClientTransactionID")


def parse_params(member: Member, method: str, pairs: list[tuple[str, str]]) -> Call:
    """Check and convert a member's parameters; raises BadRequest."""
    if method == "GET":  # names in any case; the first of a repeated name counts
        fields: dict[str, str] = {}
        for key, value in pairs:
            fields.setdefault(key.lower(), value)

        def find(name: str) -> Optional[str]:
            return fields.get(name.lower())

        def find_id(name: str) -> Optional[str]:
            return find(name)
    else:  # exact names; a value parameter in another case is an error, an id in another case is ignored
        exact: dict[str, str] = {}
        for key, value in pairs:
            exact.setdefault(key, value)
        wanted = {name.lower(): name for name, _kind in member.params}
        for key in exact:
            name = wanted.get(key.lower())
            if name is not None and key != name:
                raise BadRequest(f"parameter {key!r}: the name is {name!r} (PUT parameter names are case-sensitive)")

        def find(name: str) -> Optional[str]:
            return exact.get(name)

        find_id = find
    ids = []
    for name in _ID_NAMES:
        text = find_id(name)
        ids.append(0 if text is None else uint32(name, text))
    values: dict[str, Any] = {}
    for name, kind in member.params:
        text = find(name)
        if text is None:
            raise BadRequest(f"missing parameter {name}")
        try:
            values[name] = PARSERS[kind](text)
        except (ValueError, OverflowError):
            raise BadRequest(f"parameter {name} {text[:40]!r} is not {TYPE_NAMES[kind]}") from None
    return Call(member, values, ids[0], ids[1])


def form_pairs(body: bytes) -> list[tuple[str, str]]:
    try:
        return parse_qsl(body.decode("utf-8", "replace"), keep_blank_values=True, max_num_fields=MAX_FIELDS)
    except ValueError as error:
        raise BadRequest(f"unreadable form: {error}") from None


def query_pairs(query: str) -> list[tuple[str, str]]:
    try:
        return parse_qsl(query, keep_blank_values=True, max_num_fields=MAX_FIELDS)
    except ValueError as error:
        raise BadRequest(f"unreadable query: {error}") from None


def wants_imagebytes(accept: Optional[str]) -> bool:
    """Whether the Accept header names ImageBytes (with a quality above 0); wildcards do not count."""
    for part in (accept or "").split(","):
        kind, *params = [p.strip() for p in part.split(";")]
        if kind.lower() == IMAGEBYTES:
            for param in params:
                key, _, value = param.partition("=")
                if key.strip().lower() == "q":
                    try:
                        return float(value) > 0
                    except ValueError:
                        return False
            return True
    return False


def envelope(value: Any, call: Call, server_transaction: int, error: Optional[tuple[int, str]] = None, method: str = "GET") -> dict[str, Any]:
    reply: dict[str, Any] = {}
    if error is None and (method == "GET" or value is not None):  # methods that return nothing have no Value
        reply["Value"] = value
    reply["ClientTransactionID"] = call.client_transaction
    reply["ServerTransactionID"] = server_transaction
    reply["ErrorNumber"] = error[0] if error else 0
    reply["ErrorMessage"] = error[1] if error else ""
    return reply


def dumps(reply: Any) -> bytes:
    """JSON text; NaN and infinity (which JSON lacks) become null."""
    try:
        return json.dumps(reply, allow_nan=False, separators=(",", ":")).encode()
    except ValueError:
        return json.dumps(_finite(reply), separators=(",", ":")).encode()


def _finite(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {k: _finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(v) for v in value]
    return value


_PATH = re.compile(r"/api/v1/([^/]+)/([^/]+)/([^/]+)/?")


class ApiSink:
    """Falcon sink for ``/api/``: every method and path below it, answered by the rules above."""

    def __init__(self, devices: dict[str, list[Device]], transactions: Transactions) -> None:
        self.devices = devices
        self.transactions = transactions

    def __call__(self, req: Any, resp: Any, **_: Any) -> None:
        try:
            device, member = self._route(req.method, req.path)
            if req.method == "GET":
                pairs = query_pairs(req.query_string)
            else:
                pairs = form_pairs(req.bounded_stream.read())
            call = parse_params(member, req.method, pairs)
        except BadRequest as error:
            resp.status = 400
            resp.content_type = "text/plain; charset=utf-8"
            resp.text = str(error)
            return
        server_transaction = self.transactions.next()
        value: Any = None
        failure: Optional[tuple[int, str]] = None
        try:
            if member.connected and not device.connected:
                raise AlpacaError(errors.NOT_CONNECTED, f"{device.name} is not connected")
            value = member.function(device, **call.values)
        except Exception as error:  # every device failure becomes the protocol's own error
            failure = error_number(error)
            if failure[0] == errors.UNSPECIFIED:
                log.exception("%s %s", req.method, req.path)
        # an image goes out as the client asks; an error always as JSON, which every client reads
        if failure is None and isinstance(value, Image):
            from .images import image_reply

            image_reply(resp, value.array, call, server_transaction, wants_imagebytes(req.get_header("Accept")))
            return
        resp.status = 200
        resp.content_type = JSON
        resp.data = dumps(envelope(value, call, server_transaction, failure, req.method))

    def _route(self, method: str, path: str) -> tuple[Device, Member]:
        match = _PATH.fullmatch(path)
        if match is None:
            raise BadRequest(f"no such path {path[:100]!r}; members are at /api/v1/{{device type}}/{{number}}/{{member}}")
        kind, number, name = match.groups()
        devices = self.devices.get(kind)
        if devices is None:
            raise BadRequest(f"no device type {kind[:40]!r} (types are lower case: {', '.join(self.devices)})")
        if not (number.isascii() and number.isdigit() and int(number) < len(devices)):
            raise BadRequest(f"no {kind} number {number[:40]!r} (0 .. {len(devices) - 1})")
        device = devices[int(number)]
        if method not in ("GET", "PUT"):
            raise BadRequest(f"method {method} is not GET or PUT")
        member = device.members.get((method, name))
        if member is None:
            if any(key[1] == name for key in device.members):
                raise BadRequest(f"{name} does not take {method}")
            raise BadRequest(f"{kind} has no member {name[:40]!r} (member names are lower case)")
        return device, member
