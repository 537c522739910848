"""Bias source functionality."""

from typing import NamedTuple as NamedTuple, SupportsFloat, SupportsIndex, SupportsInt

from vexasdk._device_context import _DeviceContext

class BiasInfo(NamedTuple):
    """Contains bias information."""

    min: float
    max: float

class BiasSource:
    """Bias source."""

    def __init__(self, bias_id: SupportsInt, bias_info: BiasInfo, context: _DeviceContext) -> None: ...
    def set_desired(self, desired_bias: SupportsFloat | SupportsIndex) -> None:
        """Sets the desired bias value in volts."""
    def get_desired(self) -> float:
        """Gets the desired bias value in volts."""
    def actual(self) -> float:
        """Gets the actual bias value in volts."""
    def info(self) -> BiasInfo:
        """Gets bias information."""
