"""What every module shows Python and type checkers: record annotations, and
the shipped stubs against the modules they describe."""

import ast
import enum
import importlib
import inspect
import pathlib
import typing

import numpy as np
import pytest

import vexasdk

STUBS = sorted(pathlib.Path(vexasdk.__file__).parent.glob("*.pyi"))
MODULES = [f"vexasdk.{stub.stem}" for stub in STUBS]


def records(module):
    return [value for value in vars(module).values()
            if isinstance(value, type) and issubclass(value, tuple) and hasattr(value, "_fields")
            and value.__module__ == module.__name__]


def test_every_extension_module_has_a_stub():
    built = {path.name.split(".")[0] for path in pathlib.Path(vexasdk.__file__).parent.glob("*.so")}
    assert built == {stub.stem for stub in STUBS}


@pytest.mark.parametrize("name", MODULES)
def test_record_annotations_are_the_strings_written(name):
    # typing.NamedTuple wraps string annotations in ForwardRef unless the module undoes it.
    module = importlib.import_module(name)
    for record in records(module):
        annotations = record.__annotations__
        assert list(annotations) == list(record._fields), record
        assert all(type(text) is str for text in annotations.values()), (record, annotations)
        assert record.__new__.__annotations__ == annotations


def test_record_annotation_texts():
    from vexasdk._t3_binning import BinnedParams
    from vexasdk._t3_toa_tot import DdToaTotMetadata
    from vexasdk.bias_source import BiasInfo
    from vexasdk.enumeration import DeviceProperties
    from vexasdk.monitor_channel import MonitorInfo, OnValueChangedArgs

    assert DeviceProperties.__annotations__ == dict.fromkeys(DeviceProperties._fields, "str")
    assert DdToaTotMetadata.__annotations__ == {"shutter_start": "np.uint64",
                                                "tdcs": "npt.NDArray[npt.NDArray[np.uint64]]"}
    assert BinnedParams.__annotations__ == dict.fromkeys(("width", "height", "dwell_time_ns"), "int")
    assert BiasInfo.__annotations__ == {"min": "float", "max": "float"}
    assert MonitorInfo.__annotations__["type"] == "type[float] | type[int]"
    assert OnValueChangedArgs.__annotations__["value"] == "float | int"


# ---- stubs ----


def stub_tree(name):
    return ast.parse((pathlib.Path(vexasdk.__file__).parent / f"{name.rsplit('.', 1)[1]}.pyi").read_text())


def bound_names(body):
    names = {}
    for node in body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            for alias in node.names:
                names[alias.asname or alias.name.split(".")[0]] = node
        elif isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            names.update((target.id, node) for target in node.targets)
    return names


def parameters(function):
    return [arg.arg for arg in function.args.posonlyargs + function.args.args + function.args.kwonlyargs][1:]


@pytest.mark.parametrize("name", MODULES)
def test_stub_and_module_bind_the_same_names(name):
    module = importlib.import_module(name)
    # Private classes and dtypes (_DeviceContext, _toa_tot_dtype) are part of what a module offers.
    in_module = {key for key, value in vars(module).items()
                 if not key.startswith("_") or key in ("__test__", "__pyx_capi__")
                 or (not key.startswith("__") and isinstance(value, (type, np.dtype)))}
    in_stub = bound_names(stub_tree(name).body)
    assert in_module <= set(in_stub)
    declared = {key for key, node in in_stub.items() if not isinstance(node, (ast.Import, ast.ImportFrom))}
    assert {key for key in declared if not hasattr(module, key)} == set()


@pytest.mark.parametrize("name", MODULES)
def test_stub_classes_and_functions_match_the_module(name):
    module = importlib.import_module(name)
    for stub_name, node in bound_names(stub_tree(name).body).items():
        if isinstance(node, ast.FunctionDef):
            annotations = getattr(getattr(module, stub_name), "__annotations__", None)
            if annotations is None:  # a plain built-in function: nothing to compare
                continue
            assert parameters(node) == [key for key in annotations if key != "return"][:len(parameters(node))]
            if "return" in annotations:
                assert ast.unparse(node.returns) == annotations["return"], stub_name
            continue
        if not isinstance(node, ast.ClassDef):
            continue
        cls = getattr(module, stub_name)
        members = bound_names(node.body)
        if issubclass(cls, enum.Enum):
            assert list(members) == [member.name for member in cls], stub_name
            assert [ast.literal_eval(members[m].value) for m in members] == [member.value for member in cls]
        elif issubclass(cls, tuple):
            assert list(members) == list(cls._fields), stub_name
        elif typing.Protocol in cls.__mro__:
            want = [key for key in cls.__call__.__annotations__ if key != "return"]
            assert parameters(members["__call__"]) == want, stub_name
        elif stub_name != "SdkError":
            methods = {key for key, value in vars(cls).items() if not key.startswith("_") and callable(value)}
            assert {key for key in members if not key.startswith("_")} == methods, stub_name
            for method in methods:
                annotations = getattr(cls, method).__annotations__
                assert parameters(members[method]) == [key for key in annotations if key != "return"]
                assert ast.unparse(members[method].returns) == annotations["return"], (stub_name, method)


def test_stub_constructor_parameters_are_the_keywords_the_types_take(device):
    from vexasdk._power_unit import _PowerUnit
    from vexasdk.acquisition_runner import AcquisitionRunner
    from vexasdk.bias_source import BiasSource
    from vexasdk.chip_array import ChipArray
    from vexasdk.monitor_channel import MonitorChannel
    from vexasdk.pixel_chip import PixelChip

    for cls, values in [(PixelChip, (0, None, device.context)), (ChipArray, ([], device.context)),
                        (BiasSource, (0, None, device.context)), (_PowerUnit, (0, device.context)),
                        (MonitorChannel, (0, None, device.context)),
                        (AcquisitionRunner, (device.chip_array, device.context))]:
        tree = stub_tree(inspect.getmodule(cls).__name__)
        node = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == cls.__name__)
        init = bound_names(node.body)["__init__"]
        assert isinstance(cls(**dict(zip(parameters(init), values, strict=True))), cls)
