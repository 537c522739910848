import gc
import pickle
import types

import numpy as np
import pytest

import vexasdk.sim as sim
from vexasdk import SdkError
from vexasdk._device_context import _DeviceContext
from vexasdk.pixel_chip import ChipInfo, ChipPolarity, ChipSettings, ChipThresholdInfo, OperationalMode, PixelChip

EINVAL = sim.ERR_EINVAL


def make_info(width=256, height=256):
    return ChipInfo("C", [OperationalMode.dd_toa_tot], [ChipPolarity.holes_collection],
                    ChipThresholdInfo(2.5, 200.0, 0.6, 0, 4095, True), width, height)


@pytest.fixture
def chip(device):
    return PixelChip(0, make_info(), device.context)


# ---- vocabulary ----


@pytest.mark.parametrize("value, name", [(1, "evcount_8bit"), (4, "itot_8_bit"), (7, "dd_toa_tot"),
                                         (10, "dd_toa_tot_sorted"), (11, "binned_data"), (12, "binned_evcount"),
                                         (13, "binned_itot")])
def test_operational_mode_values(value, name):
    assert OperationalMode(value).name == name


@pytest.mark.parametrize("enumeration, value", [(OperationalMode, 0), (ChipPolarity, 3)])
def test_values_that_name_no_member(enumeration, value):
    with pytest.raises(ValueError):
        enumeration(value)


def test_records_keep_field_order_and_string_annotations():
    assert ChipInfo._fields == ("chip_name", "supported_modes", "supported_polarities", "threshold_info", "width",
                                "height")
    assert ChipThresholdInfo._fields == ("min_kev", "max_kev", "noise_kev", "min_raw", "max_raw", "is_calibrated")
    assert ChipInfo.__annotations__["width"] == "int"
    assert ChipInfo.__annotations__["supported_modes"] == "list[OperationalMode]"
    assert ChipSettings.__annotations__ == {"polarity": "ChipPolarity", "mode": "OperationalMode"}
    settings = ChipSettings(ChipPolarity.holes_collection, OperationalMode.fb_toa_tot)
    assert settings[0] is ChipPolarity.holes_collection and settings[1] is OperationalMode.fb_toa_tot


@pytest.mark.parametrize("method, annotations", [
    ("info", {"return": "ChipInfo"}),
    ("set_polarity", {"polarity": "ChipPolarity", "return": "None"}),
    ("set_threshold", {"thr_kev": "float", "return": "None"}),
    ("set_raw_threshold", {"thr_raw": "int", "return": "None"}),
    ("get_pixel_mask", {"return": "npt.NDArray[np.uint8]"}),
    ("set_pixel_mask", {"pixel_mask": "npt.NDArray[np.uint8]", "return": "None"}),
])
def test_method_annotations(method, annotations):
    assert getattr(PixelChip, method).__annotations__ == annotations


@pytest.mark.parametrize("method, first_line", [
    ("set_threshold", "PixelChip.set_threshold(self, double thr_kev: float) -> None"),
    ("set_raw_threshold", "PixelChip.set_raw_threshold(self, int thr_raw: int) -> None"),
    ("get_pixel_mask", "PixelChip.get_pixel_mask(self) -> npt.NDArray[np.uint8]"),
])
def test_docstrings_start_with_signature(method, first_line):
    assert getattr(PixelChip, method).__doc__.splitlines()[0] == first_line


# ---- construction ----


def test_construction_checks_arguments(device):
    with pytest.raises(TypeError, match=r"^__cinit__\(\) takes exactly 3 positional arguments \(1 given\)$"):
        PixelChip(0)
    with pytest.raises(TypeError, match=r"^Argument 'chip_id' has incorrect type \(expected int, got str\)$"):
        PixelChip("0", None, device.context)
    with pytest.raises(TypeError):
        PixelChip(0, None, None)
    with pytest.raises(OverflowError):
        PixelChip(2**31, None, device.context)


def test_info_is_the_object_given(device):
    marker = object()
    assert PixelChip(chip_id=0, chip_info=marker, context=device.context).info() is marker


def test_pickling_is_refused(chip):
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(chip)


def test_cycles_through_the_info_are_collected(device):
    freed = []

    class Info(list):
        def __del__(self):
            freed.append(True)

    info = Info()
    info.append(PixelChip(0, info, device.context))
    del info
    gc.collect()
    assert freed


# ---- SDK calls ----

CALLS = [
    ("configure", (), "vexasdk_chip_configure", {}),
    ("set_polarity", (ChipPolarity.holes_collection,), "vexasdk_chip_set_polarity", {"polarity": 1}),
    ("get_threshold", (), "vexasdk_chip_get_thld", {}),
    ("set_threshold", (0.1,), "vexasdk_chip_set_thld", {"thld_kev": float(np.float32(0.1))}),
    ("get_raw_threshold", (), "vexasdk_chip_get_raw_thld", {}),
    ("set_raw_threshold", (300.7,), "vexasdk_chip_set_raw_thld", {"thld_raw": 300}),
    ("get_pixel_mask", (), "vexasdk_chip_get_pixel_mask", {"data_len": 65536}),
    ("set_pixel_mask", (np.ones(65536, np.uint8),), "vexasdk_chip_set_pixel_mask", {"data_len": 65536}),
]


@pytest.mark.parametrize("chip_id, sdk_chip", [(1, 1), (256, 0), (-255, 1)])
@pytest.mark.parametrize("method, args, function, expected", CALLS)
def test_methods_reach_the_sdk_with_their_arguments(device, chip_id, sdk_chip, method, args, function, expected):
    chip = PixelChip(chip_id, make_info(), device.context)
    try:
        getattr(chip, method)(*args)
    except SdkError as error:  # 0.1 keV lies below the chip's limits
        assert error.code == EINVAL
    [call] = sim.calls(function)
    assert call["ctx"] == sim._address(device.context)
    assert call["chip"] == sdk_chip
    assert {k: call[k] for k in expected} == expected


@pytest.mark.parametrize("method, args, function, message", [
    ("configure", (), "vexasdk_chip_configure", "Chip 3: Failed to configure the chip."),
    ("set_polarity", (ChipPolarity.electrons_collection,), "vexasdk_chip_set_polarity",
     "Chip 3: Failed to set polarity to electrons_collection."),
    ("get_threshold", (), "vexasdk_chip_get_thld", "Chip 3: Failed to get threshold value."),
    ("set_threshold", (12,), "vexasdk_chip_set_thld", "Chip 3: Failed to set threshold value to 12.0keV."),
    ("set_threshold", (12.5,), "vexasdk_chip_set_thld", "Chip 3: Failed to set threshold value to 12.5keV."),
    ("get_raw_threshold", (), "vexasdk_chip_get_raw_thld", "Chip 3: Failed to get raw threshold value."),
    ("set_raw_threshold", (7.9,), "vexasdk_chip_set_raw_thld", "Chip 3: Failed to set raw threshold value to 7."),
    ("get_pixel_mask", (), "vexasdk_chip_get_pixel_mask", "Chip 3: Failed to get pixel mask."),
    ("set_pixel_mask", (np.ones((256, 256), np.uint8),), "vexasdk_chip_set_pixel_mask",
     "Chip 3: Failed to set pixel mask."),
    ("settings", (), "vexasdk_chip_get_count", "Failed to retrieve number of chips on the device."),
    ("settings", (), "vexasdk_chip_get_settings", "Failed to retrieve settings of available chips."),
])
def test_sdk_failures_carry_the_message(device, method, args, function, message):
    sim.fail(function, sim.ERR_EBUSY)
    with pytest.raises(SdkError) as caught:
        getattr(PixelChip(3, make_info(), device.context), method)(*args)
    assert (caught.value.message, caught.value.code) == (message, sim.ERR_EBUSY)


def test_null_context_handle_gets_error_codes():
    chip = PixelChip(0, make_info(), _DeviceContext.__new__(_DeviceContext))
    for method, args, _, _ in CALLS + [("settings", (), None, None)]:
        with pytest.raises(SdkError) as caught:
            getattr(chip, method)(*args)
        assert caught.value.code == sim.ERR_EFAULT


# ---- settings ----


def test_settings_follow_the_chip(device):
    chip = PixelChip(2, make_info(), device.context)
    chip.set_polarity(ChipPolarity.holes_collection)
    device.chip_array.set_mode(OperationalMode.fb_itot_evcount)
    assert chip.settings() == (ChipPolarity.holes_collection, OperationalMode.fb_itot_evcount)


@pytest.mark.parametrize("chips, records, chip_id", [
    (4, None, 256),      # the bounds test sees the full id
    (4, None, -1),
    (0, None, 0),
    (4, [(1, 7)], 1),    # fewer records than chips
])
def test_settings_out_of_range(device, chips, records, chip_id):
    sim.set_chip_count(chips)
    sim.script_chip_settings(records)
    with pytest.raises(SdkError, match=rf"^Cannot access settings of chip with id {chip_id}\.") as caught:
        PixelChip(chip_id, None, device.context).settings()
    assert caught.value.message == f"Cannot access settings of chip with id {chip_id}."


def test_settings_records_that_name_no_member(device):
    sim.script_chip_settings([(1, 7), (3, 7), (1, 0)])
    assert PixelChip(0, None, device.context).settings().mode is OperationalMode.dd_toa_tot
    for chip_id in (1, 2):
        with pytest.raises(ValueError):
            PixelChip(chip_id, None, device.context).settings()


# ---- polarity and thresholds ----


def test_set_polarity_takes_any_member_like_object(chip):
    fake = types.SimpleNamespace(value=2, name="custom")
    sim.fail("vexasdk_chip_set_polarity", EINVAL)
    with pytest.raises(SdkError, match="Failed to set polarity to custom"):
        chip.set_polarity(fake)
    assert sim.calls("vexasdk_chip_set_polarity")[-1]["polarity"] == 2


@pytest.mark.parametrize("method, arg, error, text", [
    ("set_polarity", object(), AttributeError, None),
    ("set_polarity", types.SimpleNamespace(value=-1, name="x"), OverflowError,
     "value too large to convert to vexasdk_chip_polarity"),
    ("set_polarity", types.SimpleNamespace(value="1", name="x"), TypeError, "an integer is required"),
    ("set_raw_threshold", -1, OverflowError, "can't convert negative value to uint32_t"),
    ("set_raw_threshold", 2**32, OverflowError, "value too large to convert to uint32_t"),
    ("set_raw_threshold", "1", TypeError, "Argument 'thr_raw' has incorrect type (expected int, got str)"),
    ("set_threshold", "1", TypeError, None),
])
def test_bad_arguments_stop_before_the_sdk(chip, method, arg, error, text):
    sim.clear_call_log()
    with pytest.raises(error) as caught:
        getattr(chip, method)(arg)
    if text is not None:
        assert str(caught.value) == text
    assert sim.call_count() == 0


def test_thresholds_convert_through_the_calibration(device):
    chip = PixelChip(1, make_info(), device.context)
    sim.set_chip_state(1, kev_per_raw=0.25, raw_offset=100.0)
    chip.set_raw_threshold(140)
    assert chip.get_threshold() == 10.0
    chip.set_threshold(20.0)
    assert chip.get_raw_threshold() == 180
    for method, value in (("set_threshold", 1000.0), ("set_threshold", float("nan")), ("set_raw_threshold", 5000)):
        with pytest.raises(SdkError) as caught:
            getattr(chip, method)(value)
        assert caught.value.code == EINVAL
    assert chip.get_raw_threshold() == 180


# ---- pixel masks ----


def test_get_pixel_mask_is_the_sdk_buffer_column_major(device):
    sim.set_chip_size(256, 128, chip=1)
    chip = PixelChip(1, make_info(256, 128), device.context)
    buffer = np.random.default_rng(1).integers(0, 2, 256 * 128, dtype=np.uint8)
    sim.set_chip_mask(buffer, chip=1)
    mask = chip.get_pixel_mask()
    assert (mask.shape, mask.dtype) == ((256, 128), np.uint8)
    assert np.array_equal(mask.flatten(order="C"), buffer)
    assert mask[3, 5] == buffer[3 * 128 + 5]


def test_set_pixel_mask_layouts(device):
    sim.set_chip_size(256, 128, chip=0)
    chip = PixelChip(0, make_info(256, 128), device.context)
    mask = np.ones((256, 128), np.uint8)
    mask[3, 5] = 0
    chip.set_pixel_mask(mask)
    assert np.flatnonzero(sim.chip_mask(0) == 0).tolist() == [3 * 128 + 5]
    assert sim.calls("vexasdk_chip_set_pixel_mask")[-1]["data"] == sim.chip_mask(0).tobytes().hex()

    wide = np.ones((128, 512), np.uint8)
    wide[5, 6] = 0
    chip.set_pixel_mask(wide.T[::2])  # a strided, transposed view of shape (256, 128)
    assert np.flatnonzero(sim.chip_mask(0) == 0).tolist() == [3 * 128 + 5]
    assert wide[5, 6] == 0  # the caller's array is not written

    class Mask(np.ndarray):
        pass

    chip.set_pixel_mask(np.zeros(256 * 128, np.uint8).view(Mask))
    assert not sim.chip_mask(0).any()


@pytest.mark.parametrize("mask, message", [
    (np.zeros((128, 256), np.uint8), "Expected pixel mask with shape (32768) or (256,128), got (128, 256)."),
    (np.zeros((), np.uint8), "Expected pixel mask with shape (32768) or (256,128), got ()."),
    (np.zeros(32768, bool), "Expected pixel mask with dtype <class 'numpy.uint8'>, got bool."),
    (np.zeros(10, np.int8), "Expected pixel mask with dtype <class 'numpy.uint8'>, got int8."),
    ([1] * 32768, "Pixel mask is not a numpy array."),
    (None, "Pixel mask is not a numpy array."),
])
def test_set_pixel_mask_rejects(device, mask, message):
    sim.set_chip_size(256, 128, chip=0)
    chip = PixelChip(0, make_info(256, 128), device.context)
    with pytest.raises(TypeError) as caught:
        chip.set_pixel_mask(pixel_mask=mask)
    assert str(caught.value) == message
    assert sim.call_count("vexasdk_chip_set_pixel_mask") == 0


def test_pixel_masks_use_a_subclass_info(device):
    class Small(PixelChip):
        def info(self):
            return make_info(256, 128)

    sim.set_chip_size(256, 128, chip=0)
    chip = Small(0, make_info(), device.context)
    assert chip.get_pixel_mask().shape == (256, 128)
    chip.set_pixel_mask(np.ones(256 * 128, np.uint8))
