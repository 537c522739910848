"""Device enumeration functionality."""

from typing import NamedTuple as NamedTuple

class DeviceProperties(NamedTuple):
    """Properties of an enumerated device."""

    serial_number: str
    product_name: str
    connection_string: str
    instance_path: str

def enumerate_devices() -> list[DeviceProperties]:
    """Enumerates available devices."""
