"""The package `vantrel`: cheap to import, readers handed on lazily, sample data, type stubs."""

import importlib
import importlib.metadata
import inspect
import json
import os
import typing

import pytest
from conftest import READER_MODULE, REPO, run_python

import vantrel
import vantrel.portable

# Where vantrel.mstar_header and vantrel.mstar_raw come from on this interpreter.
READERS = "vantrel.datasets.mstar" if READER_MODULE else "vantrel.portable"

SAMPLE = vantrel.data_path("mstar") + "BTR70_HB03787.004"


def test_import_is_lazy_until_a_reader_is_used():
    proc = run_python(f"""
        import json, sys
        import vantrel
        loaded = lambda: [name for name in ("numpy", {READERS!r}) if name in sys.modules]
        before, listed = loaded(), {{"mstar_header", "mstar_raw"}} <= set(dir(vantrel))
        reader = vantrel.mstar_raw
        print(json.dumps([before, listed, loaded(), reader is sys.modules[{READERS!r}].mstar_raw,
                          vars(vantrel).get("mstar_raw") is reader]))""")
    assert json.loads(proc.stdout) == [[], True, ["numpy", READERS], True, True]


def test_names_version_and_lazy_readers():
    assert vantrel.__all__ == ["data_path", "mstar_header", "mstar_raw", "scan", "Catalog", "Record", "SPLITS", "MSTAR",
                               "load_saved", "ChipError", "ChangedSinceScanError", "SplitCountError", "SplitCountWarning"]
    assert vantrel.__version__ == importlib.metadata.version("vantrel")
    readers = importlib.import_module(READERS)
    assert vantrel.mstar_header is readers.mstar_header and vantrel.mstar_raw is readers.mstar_raw


def test_the_build_files_build_the_reader_module_for_its_one_python():
    import re
    import tomllib

    from vantrel._reader import READER_PYTHON

    version = ".".join(map(str, READER_PYTHON))
    cmake_text = (REPO / "CMakeLists.txt").read_text()
    cmake = re.search(r"VERSION_GREATER_EQUAL ([\d.]+) AND Python_VERSION VERSION_LESS ([\d.]+)\)\s+"
                      r"set\(VANTREL_READER_MODULE ON", cmake_text)
    assert cmake is not None and cmake.groups() == (version, f"{READER_PYTHON[0]}.{READER_PYTHON[1] + 1}")
    pyproject = tomllib.loads((REPO / "pyproject.toml").read_text())
    stable = [o for o in pyproject["tool"]["scikit-build"]["overrides"] if "py-api" in o.get("wheel", {})]
    assert [o["if"]["python-version"] for o in stable] == [f"!={version}.*"]
    # The dataset layer's oldest Python: the limited API built for, the wheel's tag, what pip is told.
    oldest = re.search(r"set\(VANTREL_SABI_VERSION ([\d.]+)\)", cmake_text)
    assert oldest is not None and pyproject["project"]["requires-python"] == f">={oldest[1]}"
    assert stable[0]["wheel"]["py-api"] == "cp" + oldest[1].replace(".", "")


def test_data_path_names_the_sample_directory():
    path = vantrel.data_path("mstar")
    assert isinstance(path, str) and path.endswith(os.sep)
    assert os.path.isfile(path + "BTR70_HB03787.004")


@pytest.mark.parametrize("name", ["MSTAR", "", "mstar/", "mnist", None])
def test_data_path_refuses_unknown_data_sets(name):
    with pytest.raises(ValueError, match="mstar"):
        vantrel.data_path(name)


@pytest.mark.parametrize("name", ["mstar", "np", "header", "Mstar_raw"])
def test_unknown_attributes_raise_attribute_error(name):
    with pytest.raises(AttributeError, match=f"has no attribute '{name}'"):
        getattr(vantrel, name)


@pytest.mark.parametrize("readers", sorted({READERS, "vantrel.portable"}))
def test_stubs_match_the_extension(readers):
    """Parameters, defaults and the literal format spellings of mstar.pyi hold at run time, for the
    reader module and for the portable readers."""
    mstar = importlib.import_module(readers)
    stub = {"__name__": "mstar_stub"}  # run as a module, with an implementation after the overloads
    text = (REPO / "vantrel/datasets/mstar.pyi").read_text() + "\ndef mstar_raw(filepath, ofmt='c'): pass\n"
    exec(compile(text, "mstar.pyi", "exec"), stub)

    def params(function):
        return [(p.name, p.kind, p.default) for p in inspect.signature(function).parameters.values()]

    assert params(stub["mstar_header"]) == params(mstar.mstar_header)
    *literal, general = typing.get_overloads(stub["mstar_raw"])
    assert params(general) == params(mstar.mstar_raw)
    assert type(None) in typing.get_args(typing.get_type_hints(general)["return"])
    spellings = []
    for overload in literal:  # each spelling gives the overload's dtype
        assert [p[:2] for p in params(overload)] == [p[:2] for p in params(mstar.mstar_raw)]
        hints = typing.get_type_hints(overload)
        dtype = hints["return"]
        while typing.get_args(dtype):  # NDArray[T] or ndarray[shape, dtype[T]]: down to T
            dtype = typing.get_args(dtype)[-1]
        for spelling in typing.get_args(hints["ofmt"]):
            spellings.append(spelling)
            assert mstar.mstar_raw(SAMPLE, spelling).dtype == dtype
    from vantrel.defaults import READER_OFMTS

    assert sorted(spellings) == sorted(s for _, group in READER_OFMTS.values() for s in group)


def _imports_of_the_package() -> dict[str, set[str]]:
    """Module -> the vantrel modules it imports anywhere in its text: at the top, inside functions,
    under TYPE_CHECKING."""
    import ast

    root = REPO / "vantrel"
    names = {".".join(("vantrel", *path.relative_to(root).with_suffix("").parts)).removesuffix(".__init__"): path
             for pattern in ("*.py", "*.pyi") for path in root.rglob(pattern)}  # .pyi: the extensions
    graph: dict[str, set[str]] = {}
    for name, path in names.items():
        package = name if path.name == "__init__.py" else name.rpartition(".")[0]
        found = graph.setdefault(name, set())
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Import):
                targets = [alias.name for alias in node.names]
            elif isinstance(node, ast.ImportFrom):
                base = ".".join(package.split(".")[:len(package.split(".")) - node.level + 1]) if node.level else ""
                module = ".".join(part for part in (base, node.module) if part)
                targets = [f"{module}.{alias.name}" if f"{module}.{alias.name}" in names else module
                           for alias in node.names]
            else:
                continue
            found.update(target for target in targets if target in names and target != name)
    return graph


def test_the_modules_of_vantrel_import_each_other_without_a_cycle():
    graph = _imports_of_the_package()
    assert graph["vantrel.splits"] == {"vantrel._table", "vantrel.errors"}  # the check finds imports at all
    cycles, state = [], {}

    def visit(module: str, path: list[str]) -> None:
        state[module] = "open"
        for target in sorted(graph[module]):
            if state.get(target) == "open":
                cycles.append(path[path.index(target):] + [target])
            elif target not in state:
                visit(target, path + [target])
        state[module] = "done"

    for module in sorted(graph):
        if module not in state:
            visit(module, [module])
    assert cycles == []


def test_the_native_column_table_is_the_python_one():
    from vantrel import _chips
    from vantrel._table import CHECKS, FIELDS, NUMBERS, SCENES

    assert set(_chips.COLUMNS) == {*FIELDS, *CHECKS, *SCENES, "checksum"}
    assert {name: dtype for name, dtype in _chips.COLUMNS.items() if dtype != "str"} == NUMBERS
    assert set(_chips.LAYOUT) <= set(NUMBERS) and len(set(_chips.LAYOUT)) == len(_chips.LAYOUT)
    with open(SAMPLE, "rb") as chip:
        assert chip.read(len(_chips.CHIP_SIGNATURE)) == _chips.CHIP_SIGNATURE == b"\n[PhoenixHeaderVer"


@pytest.mark.parametrize("change, error", [
    ({}, None), ({"ofmt": "ap"}, None), ({"ofmt": "x"}, ValueError), ({"ofmt": "c", "decibels": True}, ValueError),
    ({"ofmt": None}, TypeError), ({"height": None}, TypeError), ({"plane": 0}, TypeError)])
def test_the_native_load_takes_its_arguments_by_keyword(change, error):
    import numpy as np

    from vantrel import _chips

    arguments = dict(paths=[], layouts=np.empty((0, len(_chips.LAYOUT)), np.int64), out=np.empty(0, np.float32),
                     height=4, width=4, ofmt="a", wide=False, threads=1, progress=None)
    arguments.update(change)
    arguments = {name: value for name, value in arguments.items() if value is not None}
    if error is None:
        assert _chips.load(**arguments) is None
    else:
        with pytest.raises(error):
            _chips.load(**arguments)
    with pytest.raises(TypeError):
        _chips.load(*arguments.values())
