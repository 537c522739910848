"""Acquisitions from asyncio, and the armed state between arming and start."""

import asyncio
import time

import pytest

from vexasdk.nexus import HDF5Writer, load


def test_the_event_loop_keeps_ticking_through_a_whole_acquisition(ready, tmp_path):
    writer = HDF5Writer(tmp_path / "run.h5")  # made off the loop: its first use imports h5py

    async def main():
        late = []

        async def heartbeat():
            while True:
                before = time.monotonic()
                await asyncio.sleep(0.01)
                late.append(time.monotonic() - before - 0.01)

        beating = asyncio.create_task(heartbeat())
        await ready.aio.power_up()
        await ready.aio.set_bias(100)
        await ready.aio.set_threshold(5.0)
        acquisition = await ready.aio.arm("dd_toa_tot", duration=0.6, sinks=[writer])
        await ready.aio.start(acquisition)
        blocks = [block async for block in acquisition]
        await acquisition
        beating.cancel()
        return acquisition, blocks, late

    acquisition, blocks, late = asyncio.run(main())
    assert len(blocks) == acquisition.counts.blocks > 10 and acquisition.lost == 0
    assert [b.sequence for b in blocks] == list(range(len(blocks)))
    assert load(tmp_path / "run.h5").metadata["block_count"] == len(blocks)
    assert len(late) > 30 and max(late) < 0.05


def test_a_cancelled_await_aborts_and_a_failed_callback_is_reraised(ready):
    async def main():
        running = ready.acquire("dd_toa_tot", duration=30)
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(running, 0.2)
        failing = ready.acquire("dd_toa_tot", duration=0.2, callback=lambda block: 1 / 0)
        with pytest.raises(ZeroDivisionError):
            await failing
        return running

    running = asyncio.run(main())
    assert running.wait(5) and running.stopped_by == "abort"


@pytest.mark.parametrize("ending", ["start", "abort", "close"])
def test_armed_acquisitions_start_or_disarm_with_their_files_whole(ready, tmp_path, ending):
    path = tmp_path / "run.h5"
    acquisition = ready.arm("fb_itot_evcount", frames=5, sinks=[HDF5Writer(path)])
    assert acquisition.armed and acquisition.running and path.exists()
    with pytest.raises(RuntimeError, match="armed acquisition that was never started"):
        acquisition.wait()
    if ending == "start":
        acquisition.start()
        assert acquisition.wait(10) and acquisition.counts.blocks == 5
        with pytest.raises(RuntimeError, match="has ended: only an armed acquisition starts"):
            acquisition.start()
    else:
        acquisition.abort() if ending == "abort" else ready.close()
        assert acquisition.stopped_by == "disarmed" and not acquisition.armed
    run = load(path)
    assert run.metadata["block_count"] == (5 if ending == "start" else 0) and run.metadata["complete"]


@pytest.mark.parametrize("options, error", [
    ({"mode": "dd_toa_tot", "frames": 3}, "frames is for the frame-based modes only"),
    ({"mode": "fb_toa_tot", "frames": 0}, "frames must be an integer from 1 to 4294967296, got 0"),
])
def test_frames_are_checked(ready, options, error):
    with pytest.raises(ValueError, match=error):
        ready.arm(**options)


def test_an_acquisition_left_armed_at_exit_is_disarmed_at_once(tmp_path):
    from helpers import run_python

    path = tmp_path / "run.h5"
    result = run_python(f"""
        import vexasdk
        from vexasdk.nexus import HDF5Writer
        device = vexasdk.open_device()
        device.power_up()
        device.set_bias(100)
        armed = device.arm("dd_toa_tot", sinks=[HDF5Writer({str(path)!r})])
    """, timeout=20)
    assert result.returncode == 0, result.stderr
    assert load(path).metadata["block_count"] == 0
