"""The device from asyncio: its slow calls as coroutines that never block the
event loop, for frameworks that run one (a Bluesky RunEngine, a web service).

Each runs the blocking call in a worker thread (`asyncio.to_thread`); the
native calls release the interpreter lock, so the loop and the SDK's threads
go on meanwhile. Acquisitions themselves are awaitable and iterate
asynchronously (``await acquisition``, ``async for block in acquisition``)::

    device = vexasdk.open_device()
    await device.aio.power_up()
    await device.aio.set_bias(100)
    acquisition = await device.aio.arm("fb_itot_evcount", frames=10, sinks=[writer])
    await device.aio.start(acquisition)
    async for frame in acquisition:
        ...
    await acquisition          # ended, sinks closed; re-raises as wait() does

A call cancelled while its thread runs returns nothing, but the thread ends
its call (each is bounded: the bias waits at most its `timeout`).
"""

from __future__ import annotations

import asyncio
import functools
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from vexasdk._device import Device
    from vexasdk.acquisition import Acquisition, DataModeName
    from vexasdk.pixel_chip import OperationalMode

__all__ = ["AsyncDevice"]


class AsyncDevice:
    """A device's slow calls as coroutines (`Device.aio`).

    Attributes:
        device (Device): The device they run on.
    """

    def __init__(self, device: Device) -> None:
        self.device = device

    async def power_up(self) -> None:
        """`Device.power_up`, off the event loop."""
        await asyncio.to_thread(self.device.power_up)

    async def set_bias(self, volts: float, *, timeout: float = 5.0, source: int = 0) -> float:
        """`Device.set_bias`, off the event loop: waits until the bias has
        settled, and returns the measured bias."""
        return await asyncio.to_thread(self.device.set_bias, volts, timeout=timeout, source=source)

    async def set_threshold(self, kev: float, *, configure: bool = True) -> None:
        """`Device.set_threshold`, off the event loop."""
        await asyncio.to_thread(self.device.set_threshold, kev, configure=configure)

    async def configure(self) -> None:
        """Writes every chip's settings to it (`PixelChip.configure`), off the event loop."""
        def configure_all() -> None:
            for chip in self.device.chips:
                chip.configure()

        await asyncio.to_thread(configure_all)

    async def arm(self, mode: OperationalMode | DataModeName, **options: Any) -> Acquisition:
        """`Device.arm`, off the event loop (the sinks make their files)."""
        return await asyncio.to_thread(functools.partial(self.device.arm, mode, **options))

    async def start(self, acquisition: Acquisition) -> None:
        """`Acquisition.start`, off the event loop."""
        await asyncio.to_thread(acquisition.start)

    async def acquire(self, mode: OperationalMode | DataModeName, **options: Any) -> Acquisition:
        """`Device.acquire`, off the event loop: the acquisition, running."""
        return await asyncio.to_thread(functools.partial(self.device.acquire, mode, **options))

    async def close(self) -> None:
        """`Device.close`, off the event loop (it waits for what runs to end)."""
        await asyncio.to_thread(self.device.close)
