import gc
import pickle
import types

import pytest

import vexasdk
import vexasdk.sim as sim
from vexasdk import SdkError
from vexasdk._device_context import _DeviceContext
from vexasdk.chip_array import ChipArray
from vexasdk.pixel_chip import ChipPolarity, OperationalMode, PixelChip

M = OperationalMode


class FakeChip:
    """Answers info() and settings() as told, counting the settings queries."""

    def __init__(self, modes=(), mode=None, log=None):
        self.modes, self.mode, self.log = list(modes), mode, log if log is not None else []

    def info(self):
        return types.SimpleNamespace(supported_modes=self.modes)

    def settings(self):
        self.log.append(self)
        return types.SimpleNamespace(mode=self.mode)


def test_module_and_methods():
    import vexasdk.chip_array as chip_array

    assert chip_array.OperationalMode is OperationalMode
    assert chip_array.__test__ == {}
    assert ChipArray.set_mode.__annotations__ == {"mode": "OperationalMode", "return": "None"}
    assert ChipArray.get_single_chips.__annotations__ == {"return": "list[PixelChip]"}
    assert ChipArray.set_mode.__doc__.startswith("ChipArray.set_mode(self, mode: OperationalMode) -> None\n\n")


@pytest.mark.parametrize("chips, got", [(type("L", (list,), {})(), "L"), ((), "tuple"), (None, "NoneType")])
def test_single_chips_must_be_a_list(device, chips, got):
    with pytest.raises(TypeError, match=rf"^Argument 'single_chips' has incorrect type \(expected list, got {got}\)$"):
        ChipArray(chips, device.context)


def test_construction_and_pickling(device):
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes exactly 2 positional arguments \(1 given\)$"):
        ChipArray([])
    with pytest.raises(TypeError):
        ChipArray([], object())
    chips = []
    array = ChipArray(context=device.context, single_chips=chips)
    assert array.get_single_chips() is chips and array.get_single_chips() is chips
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(array)


def test_refused_arguments_make_no_instance(device):
    # Made as controllers are: the arguments are checked before anything is
    # allocated, so no finaliser ever sees a half-built array.
    finalised = []
    Watched = type("Watched", (ChipArray,), {"__del__": lambda self: finalised.append(self.get_single_chips())})
    for args in [((),), ((), device.context), ([], object())]:
        with pytest.raises(TypeError):
            Watched(*args)
    gc.collect()
    assert finalised == []
    chips = []
    Watched(chips, device.context)
    gc.collect()
    assert finalised == [chips]


def test_device_builds_chips_from_the_sdk():
    sim.set_chip_count(2)
    sim.set_chip_size(256, 128, chip=1)
    sim.set_supported_modes([M.dd_toa_tot, M.fb_toa_tot], chip=1)
    with vexasdk.open_device() as device:
        assert [type(c) for c in device.chips] == [PixelChip, PixelChip]
        assert device.chip_array.get_single_chips() is device.chips
        info = device.chips[1].info()
        assert (info.chip_name, info.width, info.height) == ("VX3-1001-C1", 256, 128)
        assert info.supported_modes == [M.dd_toa_tot, M.fb_toa_tot]
        assert info.supported_polarities == [ChipPolarity.holes_collection, ChipPolarity.electrons_collection]
        assert info.threshold_info.max_raw == 4095 and info.threshold_info.is_calibrated is True
        assert set(device.chip_array.get_supported_modes()) == {M.dd_toa_tot, M.fb_toa_tot}
        assert device.chips[1].get_pixel_mask().shape == (256, 128)


def test_open_fails_and_closes_when_a_chip_cannot_be_described():
    sim.fail("vexasdk_chip_get_info", sim.ERR_ENODEV)
    with pytest.raises(SdkError, match="Chip 0"):
        vexasdk.open_device()
    assert sim.call_count("vexasdk_dev_close") == 1


# ---- modes ----


@pytest.mark.parametrize("chips, expected", [
    ([], set()),
    ([FakeChip([M.dd_toa_tot, M.dd_toa_tot, M.fb_toa_tot])], {M.dd_toa_tot, M.fb_toa_tot}),
    ([FakeChip([M.dd_toa_tot, M.fb_toa_tot]), FakeChip([M.fb_toa_tot, M.binned_itot])], {M.fb_toa_tot}),
    ([FakeChip([M.dd_toa_tot]), FakeChip([M.fb_toa_tot])], set()),
])
def test_supported_modes_are_common_to_every_chip(device, chips, expected):
    modes = ChipArray(chips, device.context).get_supported_modes()
    assert type(modes) is list and len(modes) == len(expected) and set(modes) == expected


def test_get_mode_asks_every_chip(device):
    log = []
    agree = [FakeChip(mode=M.dd_toa_tot, log=log) for _ in range(3)]
    assert ChipArray(agree, device.context).get_mode() is M.dd_toa_tot
    log.clear()
    differ = [FakeChip(mode=M.dd_toa_tot, log=log), FakeChip(mode=M.fb_toa_tot, log=log),
              FakeChip(mode=M.dd_toa_tot, log=log)]
    with pytest.raises(ValueError, match=r"^Failed to retrieve current chip mode: Chips are in different operational "
                                         r"modes\.$"):
        ChipArray(differ, device.context).get_mode()
    assert log == differ
    with pytest.raises(ValueError, match=r"^Failed to retrieve current chip mode: no chip available\.$"):
        ChipArray([], device.context).get_mode()


def test_get_mode_through_the_sdk(device):
    array = device.chip_array
    assert array.get_mode() is M.dd_toa_tot
    sim.set_chip_state(2, mode=M.fb_toa_tot)
    with pytest.raises(ValueError, match="different operational modes"):
        array.get_mode()
    sim.fail("vexasdk_chip_get_settings", sim.ERR_EBUSY)
    with pytest.raises(SdkError, match="Failed to retrieve settings of available chips."):
        array.get_mode()


def test_set_mode_switches_the_device(device):
    ChipArray([], device.context).set_mode(M.binned_itot)  # the chips are not consulted
    assert sim.calls("vexasdk_chip_set_mode") == [{"ctx": sim._address(device.context), "mode": 13}]
    assert device.chip_array.get_mode() is M.binned_itot
    sim.fail("vexasdk_chip_set_mode", sim.ERR_EBUSY)
    with pytest.raises(SdkError) as caught:
        device.chip_array.set_mode(mode=M.binned_itot)
    assert caught.value.message == "Chip array:Failed to set mode of the available chips to binned_itot."


@pytest.mark.parametrize("mode, error, text", [
    (object(), AttributeError, None),
    (types.SimpleNamespace(value=-1, name="x"), OverflowError, "value too large to convert to vexasdk_chip_mode"),
    (types.SimpleNamespace(value=2**32, name="x"), OverflowError, "value too large to convert to vexasdk_chip_mode"),
])
def test_set_mode_bad_arguments(device, mode, error, text):
    with pytest.raises(error) as caught:
        device.chip_array.set_mode(mode)
    if text is not None:
        assert str(caught.value) == text
    assert sim.call_count("vexasdk_chip_set_mode") == 0


def test_set_mode_null_context_handle():
    with pytest.raises(SdkError) as caught:
        ChipArray([], _DeviceContext.__new__(_DeviceContext)).set_mode(M.dd_toa_tot)
    assert caught.value.code == sim.ERR_EFAULT


# ---- configure ----


def test_configure_stops_at_the_first_failure(device):
    chips = [device.chips[0], PixelChip(9, None, device.context), device.chips[2]]
    with pytest.raises(SdkError, match=r"^Chip 9: Failed to configure the chip\."):
        ChipArray(chips, device.context).configure()
    assert [call["chip"] for call in sim.calls("vexasdk_chip_configure")] == [0, 9]
    assert [sim.chip_state(i)["configure_count"] for i in range(3)] == [1, 0, 0]
    device.chip_array.configure()
    assert [sim.chip_state(i)["configure_count"] for i in range(4)] == [2, 1, 1, 1]
    ChipArray([], device.context).configure()
