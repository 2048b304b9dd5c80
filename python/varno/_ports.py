"""The serial ports the system has, as the library lists them."""
from __future__ import annotations

from dataclasses import dataclass
from typing import List

from . import _native
from ._errors import LinkError


@dataclass(frozen=True)
class PortInfo:
    """One serial port. ``device`` is the name to open; ``stable_path`` a name that survives
    re-plugging ("/dev/serial/by-id/...") or ""; the USB fields are "" and 0 where unknown or not
    USB."""

    device: str
    stable_path: str
    driver: str
    manufacturer: str
    product: str
    serial_number: str
    vendor_id: int
    product_id: int
    usb: bool
    virtual: bool


def _text(field: bytes) -> str:
    return field.decode("utf-8", "replace")


def list_ports(include_all: bool = False) -> List[PortInfo]:
    """The system's serial ports; with `include_all`, also pseudo-terminals and virtual or absent
    legacy ports. Raises NotImplementedError when the loaded library cannot list ports (it is
    older than this function), LinkError when the listing fails."""
    function = _native.list_ports_function
    if function is None:
        raise NotImplementedError(
            f"varno.list_ports needs a VarnoDLL with varnoListPorts; {_native.library_path()} "
            f"(version {_native.library_version()}) has none"
        )
    flags = _native.LIST_ALL if include_all else 0
    capacity = 0
    while True:
        entries = (_native.VarnoPortInfo * max(capacity, 1))()
        count = function(entries if capacity else None, capacity, flags)
        if count < 0:
            raise LinkError(count)
        if count <= capacity:
            break
        # A port may come between two calls: room for a few more.
        capacity = count + 4
    return [
        PortInfo(_text(e.device), _text(e.stable_path), _text(e.driver), _text(e.manufacturer),
                 _text(e.product), _text(e.serial_number), e.vendor_id, e.product_id,
                 bool(e.flags & _native.PORT_USB), bool(e.flags & _native.PORT_VIRTUAL))
        for e in entries[:count]
    ]
