import ctypes
import tracemalloc
import typing

import pytest

import vexasdk
import vexasdk.sim as sim
from vexasdk.enumeration import DeviceProperties, enumerate_devices

DEFAULT = DeviceProperties("VX3-1001", "Virtual Timepix3 quad detector", "virtual:0", "/sys/bus/virtual/vexa/0")


def record(serial=b"SN", product=b"Product", connection=b"virtual:0", path=b"/path"):
    return sim.make_enum_record(serial, product, connection, path)


def test_default_device_is_listed():
    assert vexasdk.enumerate_devices is enumerate_devices
    devices = enumerate_devices()
    assert devices == [DEFAULT]
    assert type(devices[0]) is DeviceProperties
    assert DeviceProperties.__module__ == "vexasdk.enumeration"
    assert sim.calls("vexasdk_enum_get_info")[0]["count"] == 4


@pytest.mark.parametrize("count", [0, 1, 4, 5, 9])
def test_at_most_four_devices_in_sdk_order(count):
    sim.set_device_count(count)
    devices = enumerate_devices()
    assert [d.serial_number for d in devices] == [f"VX3-{1001 + i}" for i in range(min(count, 4))]


@pytest.mark.parametrize("reported", [5, 2**40])
def test_count_above_capacity_reads_only_four_records(reported):
    sim.set_device_count(6)
    sim.set_enum_reported_count(reported)
    assert len(enumerate_devices()) == 4


def test_reported_count_below_written_is_followed():
    sim.set_device_count(3)
    sim.set_enum_reported_count(1)
    assert enumerate_devices() == [DEFAULT]


def test_empty_fields_give_empty_strings():
    sim.set_enumeration([record(b"", b"", b"", b"")])
    assert enumerate_devices() == [DeviceProperties("", "", "", "")]


def test_fields_without_nul_end_at_their_width():
    sim.set_enumeration([record(b"S" * 16, b"P" * 64, b"C" * 16, b"I" * 64)])
    assert enumerate_devices() == [DeviceProperties("S" * 16, "P" * 64, "C" * 16, "I" * 64)]


def test_utf8_is_decoded():
    sim.set_enumeration([record("Seriál", "Détecteur ✓".encode())])
    assert enumerate_devices()[0][:2] == ("Seriál", "Détecteur ✓")


@pytest.mark.parametrize("field", range(4))
def test_invalid_utf8_raises_and_frees_the_buffer(field):
    fields = [b"SN", b"Product", b"virtual:0", b"/path"]
    fields[field] = b"ok\xff"
    sim.set_enumeration([record(), record(*fields)])
    with pytest.raises(UnicodeDecodeError):
        enumerate_devices()

    def leaked(rounds):
        tracemalloc.start()
        try:
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(rounds):
                with pytest.raises(UnicodeDecodeError):
                    enumerate_devices()
            return tracemalloc.get_traced_memory()[0] - before
        finally:
            tracemalloc.stop()

    # 200 leaked buffers would be 128000 bytes.
    assert leaked(200) < 16000


def test_sdk_failure_raises_sdk_error():
    sim.fail("vexasdk_enum_get_info", sim.ERR_ENOMEM)
    with pytest.raises(vexasdk.SdkError) as error:
        enumerate_devices()
    assert (error.value.message, error.value.code) == ("Failed to enumerate available devices.", sim.ERR_ENOMEM)


def test_arguments_refused_before_the_sdk():
    with pytest.raises(TypeError, match=r"enumerate_devices\(\) takes no arguments \(1 given\)"):
        enumerate_devices(1)
    with pytest.raises(TypeError, match=r"takes no keyword arguments"):
        enumerate_devices(capacity=4)
    assert sim.call_count("vexasdk_enum_get_info") == 0


def test_interface_texts():
    assert enumerate_devices.__annotations__ == {"return": "list[DeviceProperties]"}
    assert enumerate_devices.__doc__.startswith(
        "enumerate_devices() -> list[DeviceProperties]\n\nEnumerates available devices.")
    assert DeviceProperties._fields == ("serial_number", "product_name", "connection_string", "instance_path")
    assert typing.get_type_hints(DeviceProperties) == dict.fromkeys(DeviceProperties._fields, str)
    assert vexasdk.enumeration.__doc__ == "Device enumeration functionality."


def test_open_device_takes_the_first_enumerated_device():
    sim.set_device_count(2)
    sim.set_enum_record(record(connection=b"virtual:a"), device=0)
    with vexasdk.open_device() as device:
        assert device.connection_string == "virtual:a"
        assert sim.calls("vexasdk_dev_open")[0]["connection_string"] == "virtual:a"


def test_open_device_without_devices():
    sim.set_device_count(0)
    with pytest.raises(vexasdk.SdkError) as error:
        vexasdk.open_device()
    assert error.value.code == sim.ERR_ENODEV


def test_virtual_sdk_refuses_null_arguments():
    count = ctypes.c_size_t(4)
    buf = (ctypes.c_char * 640)()
    get_info = sim._lib.vexasdk_enum_get_info
    get_info.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
    assert get_info(None, ctypes.byref(count)) == sim.ERR_EFAULT
    assert get_info(buf, None) == sim.ERR_EFAULT
