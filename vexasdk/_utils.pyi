from typing import Any

__pyx_capi__: dict[str, Any]
_ERROR_NAMES: dict[int, str]
_ERROR_CODES: dict[str, int]

class SdkError(Exception):
    """An SDK call failed."""

    message: str
    code: int
    name: str
    def __init__(self, message: str, code: int) -> None: ...
