"""The management API: what the server is and which devices it has, under stable unique ids."""

from __future__ import annotations

import uuid
from typing import Any, Mapping, Sequence

from .. import __version__
from .protocol import JSON, BadRequest, Device, Member, Transactions, dumps, envelope, parse_params, query_pairs

#: The namespace of our devices' UniqueIDs: a camera's id is derived from its serial number, so it stays
#: the same across restarts of the server and across machines.
NAMESPACE = uuid.UUID("6f1b7c0e-4d38-5a8e-9c61-2f0a4b7d9e13")
SERVER_NAME = "qel-alpaca"
MANUFACTURER = "brevalo"

# Management members take only the ids, read like a device GET's.
_IDS_ONLY = Member("GET", "management", (), lambda: None, False)


def unique_id(device: Device, number: int) -> str:
    serial = getattr(getattr(device, "info", None), "serial", "")
    key = f"{device.device_type}:{serial}" if serial else f"{device.device_type}:{device.name}:{number}"
    return str(uuid.uuid5(NAMESPACE, key))


class Management:
    """``/management/apiversions``, ``/management/v1/description`` and ``/management/v1/configureddevices``."""

    def __init__(self, devices: Mapping[str, Sequence[Device]], transactions: Transactions, location: str) -> None:
        self.devices = devices
        self.transactions = transactions
        self.location = location

    def _reply(self, req: Any, resp: Any, value: Any) -> None:
        try:
            call = parse_params(_IDS_ONLY, "GET", query_pairs(req.query_string))
        except BadRequest as error:
            resp.status = 400
            resp.content_type = "text/plain; charset=utf-8"
            resp.text = str(error)
            return
        resp.content_type = JSON
        resp.data = dumps(envelope(value, call, self.transactions.next()))

    def on_get_versions(self, req: Any, resp: Any) -> None:
        self._reply(req, resp, [1])

    def on_get_description(self, req: Any, resp: Any) -> None:
        self._reply(req, resp, {
            "ServerName": SERVER_NAME, "Manufacturer": MANUFACTURER,
            "ManufacturerVersion": __version__, "Location": self.location,
        })

    def on_get_devices(self, req: Any, resp: Any) -> None:
        self._reply(req, resp, [
            {"DeviceName": device.name, "DeviceType": device.device_type.capitalize(), "DeviceNumber": number,
             "UniqueID": unique_id(device, number)}
            for kind in self.devices.values() for number, device in enumerate(kind)
        ])
