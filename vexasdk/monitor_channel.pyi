"""Monitor channel functionality."""

import logging as logging
from collections.abc import Callable as Callable
from typing import Any, NamedTuple as NamedTuple, SupportsInt

from vexasdk._device_context import _DeviceContext

# For the device-opening code: "_release_callables", as a capsule.
__pyx_capi__: dict[str, Any]

class MonitorRange(NamedTuple):
    """Contains minimum and maximum monitor values."""

    min: float | int
    max: float | int

class MonitorInfo(NamedTuple):
    """Contains monitor information."""

    name: str
    type: type[float] | type[int]
    range: MonitorRange

class MonitorFlags(NamedTuple):
    """Contains asynchronous monitor flags."""

    is_warning: bool
    is_error: bool
    is_available: bool

class OnAvailChangedArgs(NamedTuple):
    """Arguments for on-availability-changed callback function."""

    info: MonitorInfo
    is_available: bool
    timestamp: int

class OnValueChangedArgs(NamedTuple):
    """Arguments for on-value-changed callback function."""

    info: MonitorInfo
    flags: MonitorFlags
    value: float | int
    timestamp: int

class MonitorChannel:
    """Monitor channel.

    Each instance represents a single monitor.
    """

    def __init__(self, mon_id: SupportsInt, mon_info: MonitorInfo, context: _DeviceContext) -> None: ...
    def info(self) -> MonitorInfo:
        """Gets monitor information."""
    def fetch_value(self) -> float | int:
        """Synchronously fetches the value of the monitor."""
    def set_on_avail_changed_cb(self, callback: Callable[[OnAvailChangedArgs], None]) -> None:
        """Sets an asynchronous on-availability-changed monitor callback."""
    def set_on_value_changed_cb(self, callback: Callable[[OnValueChangedArgs], None]) -> None:
        """Sets an asynchronous on-value-changed monitor callback."""
