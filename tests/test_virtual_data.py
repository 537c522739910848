"""What the virtual detector's acquisitions deliver, and how the device's
state shows in the data."""

import numpy as np
import pytest

import vexasdk
import vexasdk.sim as sim

TRAMPOLINES = {
    7: ("_t3_toa_tot", "dd_toa_tot_cb"), 10: ("_t3_toa_tot", "dd_toa_tot_cb"), 8: ("_t3_toa_tot", "fb_toa_tot_cb"),
    9: ("_t3_itot_evcount", "fb_itot_evcount_cb"), 11: ("_t3_binning", "binned_data_cb"),
    12: ("_t3_binning", "binned_evcount_cb"), 13: ("_t3_binning", "binned_itot_cb"),
}


def start(device, mode, callback, **params):
    sim.set_mode(device.context, mode)
    sim.start(device.context, sim.trampoline(*TRAMPOLINES[mode]), callback, **params)


def acquire(device, mode, **params):
    """Every block's callback arguments, in delivery order."""
    got = []
    start(device, mode, lambda *args: got.append(args), **params)
    sim.await_end(device.context)
    return got


def code_of(action):
    with pytest.raises(vexasdk.SdkError) as raised:
        action()
    return raised.value.code


def test_wrong_states_answer_sdk_codes(ready):
    context = ready.context
    assert code_of(lambda: sim.await_end(context)) == sim.ERR_BAD_STATE
    assert code_of(lambda: sim.abort(context)) == sim.ERR_BAD_STATE
    assert code_of(lambda: sim.trigger(context)) == sim.ERR_BAD_STATE
    assert code_of(lambda: sim.start(context, 0, print)) == sim.ERR_EINVAL
    sim.generate(blocks_per_second=100, packets_per_block=10)  # until aborted
    start(ready, 7, lambda *args: None)
    assert code_of(lambda: start(ready, 7, lambda *args: None)) == sim.ERR_EBUSY
    sim.abort(context)
    assert code_of(lambda: sim.trigger(context)) == sim.ERR_BAD_STATE


@pytest.mark.parametrize("powered", [[], [0], [1]])
def test_an_unpowered_unit_refuses_the_start_and_keeps_the_queue(device, powered):
    # Out of the box nothing is powered.
    for unit in powered:
        device.power_units[unit].power_up()
    sim.queue_itot_evcount(np.zeros(3, sim.ITOT_EVCOUNT_DTYPE))
    assert code_of(lambda: acquire(device, 9)) == sim.ERR_BAD_STATE
    for unit in device.power_units:
        unit.power_up()
    assert [len(args[0]) for args in acquire(device, 9)] == [3]
