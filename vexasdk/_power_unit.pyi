from typing import SupportsInt

from vexasdk._device_context import _DeviceContext

class _PowerUnit:
    """Represents a single power unit."""

    def __init__(self, unit_id: SupportsInt, context: _DeviceContext) -> None: ...
    def is_powered(self) -> bool:
        """Determines if a power unit is powered-up."""
    def power_up(self) -> None:
        """Power up a power unit."""
    def power_down(self) -> None:
        """Power down a power unit."""
