from typing import NoReturn

class _DeviceContext:
    """_DeviceContext() -> None

    Non-owning wrapper of C-level device context and its connection string."""

    def __init__(self) -> NoReturn: ...
    def __reduce__(self) -> NoReturn: ...
    def __setstate__(self, state: object) -> NoReturn: ...
