"""Argument binding, attributes and code objects of mstar_header and mstar_raw."""

import ctypes
import inspect
import pydoc

import numpy as np
import pytest

import vantrel.datasets.mstar as m
from conftest import LINES, SOURCE_FILE

H, R = m.mstar_header, m.mstar_raw
P = "no-such-chip.bin"  # opening it would raise FileNotFoundError, not TypeError
HX, RL = "mstar_header() takes exactly 1 positional argument ({} given)", "mstar_raw() takes at least 1 positional argument (0 given)"
RM = "mstar_raw() takes at most 2 positional arguments ({} given)"
MV, UK = "{}() got multiple values for keyword argument '{}'", "{}() got an unexpected keyword argument '{}'"


def assert_binding_error(info, func, message):
    assert str(info.value) == message
    tb = info.value.__traceback__.tb_next  # the entries inside the calling test's frame
    assert tb.tb_next is None, "exactly one entry, and no native-code entry"
    code = tb.tb_frame.f_code
    assert (code.co_name, code.co_filename, tb.tb_lineno) == (f"vantrel.datasets.mstar.{func.__name__}", SOURCE_FILE,
                                                             LINES["header" if func is H else "raw"]["def"])
    assert tb.tb_frame.f_globals is vars(m) and tb.tb_frame.f_locals == {}


@pytest.mark.parametrize("func, args, kwargs, message", [
    (H, (), {}, HX.format(0)),
    (H, (P, P), {}, HX.format(2)),
    (H, (P, P, P), {"x": 1}, HX.format(3)),
    (H, (P, P), {"filepath": P}, HX.format(2)),
    (H, (), {"x": 1}, UK.format("mstar_header", "x")),
    (H, (), {"filepath": P, "ofmt": "c"}, UK.format("mstar_header", "ofmt")),
    (H, (P,), {"filepath": P}, MV.format("mstar_header", "filepath")),
    (R, (), {}, RL),
    (R, (), {"ofmt": "c"}, RL),
    (R, (P, "c", P), {}, RM.format(3)),
    (R, (P, "c", P, P), {"ofmt": "c", "x": 1}, RM.format(4)),
    (R, (P,), {"filepath": P}, MV.format("mstar_raw", "filepath")),
    (R, (P,), {"ofmt": "c", "filepath": P}, MV.format("mstar_raw", "filepath")),
    (R, (P, "c"), {"ofmt": "c"}, MV.format("mstar_raw", "ofmt")),
    (R, (), {"ofmt": "c", "fmt": 1}, UK.format("mstar_raw", "fmt")),
    (R, (), {"fmt": 1, "filepath": P}, UK.format("mstar_raw", "fmt")),
    (R, (P,), {"x": 1, "filepath": P}, UK.format("mstar_raw", "x")),
    (R, (P,), {"filepath": P, "x": 1}, MV.format("mstar_raw", "filepath")),
])
def test_binding_errors(func, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert_binding_error(info, func, message)


@pytest.mark.parametrize("func", [H, R])
def test_keywords_must_be_strings_for_native_callers(func):
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype, call.argtypes = ctypes.py_object, [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    args = (ctypes.py_object * 2)(P, "c")
    with pytest.raises(TypeError) as info:
        call(func, ctypes.cast(args, ctypes.c_void_p), 1, (1,))
    assert_binding_error(info, func, f"{func.__name__}() keywords must be strings")


class Sub(str):
    pass


class Raising(str):
    __hash__ = str.__hash__
    error = LookupError("comparison refused")

    def __eq__(self, other):
        raise self.error


def test_bound_values(make_chip):
    chip = make_chip(rows=3, cols=4)
    c, r = R(chip), R(chip, "r")
    assert c.dtype == np.complex128 and c.shape == (3, 4) and r.shape == (3, 4, 2) and not np.array_equal(r, R(chip, "ap"))
    for same in (R(chip, "c"), R(chip, ofmt="c"), R(ofmt="c", filepath=chip), R(**{Sub("filepath"): chip})):
        assert np.array_equal(same, c)
    distinct, literal = "".join(["of", "mt"]), "ofmt"
    assert distinct == literal and distinct is not literal
    for same in (R(chip, ofmt="r"), R(ofmt="r", filepath=chip), R(chip, **{distinct: "r"}),
                 R(**{"".join(["file", "path"]): chip, "ofmt": "r"}), R(chip, **{Sub("ofmt"): "r"})):
        assert np.array_equal(same, r)
    assert R(chip, ofmt=None) is None and R(chip, None) is None
    assert H(filepath=chip) == H(chip) == H(**{Sub("filepath"): chip})
    for call in (lambda: R(chip, **{Raising("ofmt"): "r"}), lambda: H(**{Raising("filepath"): chip})):
        with pytest.raises(LookupError) as info:
            call()
        assert info.value is Raising.error
    saved = R.__defaults__
    try:
        R.__defaults__ = ("r",)
        assert R.__defaults__ == ("r",) and R(chip).dtype == np.complex128
    finally:
        R.__defaults__ = saved


@pytest.mark.parametrize("func, defaults, signature, first, varnames, lines", [
    (H, None, "(filepath)", LINES["header"]["def"], ("filepath", "f", "header", "version", "data", "name", "value"),
     LINES["header"]["statements"]),
    (R, ("c",), "(filepath, ofmt='c')", LINES["raw"]["def"],
     ("filepath", "ofmt", "f", "data", "_", "v", "offsets", "k", "ncols", "nrows", "x"), LINES["raw"]["statements"]),
])
def test_attributes_and_code(func, defaults, signature, first, varnames, lines):
    name = func.__name__
    assert func.__qualname__ == name in ("mstar_header", "mstar_raw") and func.__module__ == "vantrel.datasets.mstar"
    assert func.__defaults__ == defaults and func.__kwdefaults__ is None
    assert func.__globals__ is vars(m) and getattr(m, name) is func
    assert str(inspect.signature(func)) == signature
    # help() shows it as a routine with its signature; read through a class it stays itself
    assert f"{name}{signature}" in pydoc.render_doc(func, renderer=pydoc.plaintext) and type("C", (), {"f": func})().f is func
    saved = func.__doc__
    assert isinstance(saved, str) and func.__doc__ is saved
    try:
        func.__doc__ = "replaced"
        assert func.__doc__ == "replaced"
    finally:
        func.__doc__ = saved
    code = func.__code__
    assert code.co_name == code.co_qualname == name
    assert (code.co_filename, code.co_firstlineno) == (SOURCE_FILE, first)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (1 if func is H else 2, 0, 0)
    assert code.co_varnames == varnames and code.co_nlocals == len(varnames)
    assert code.co_flags == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS == 3
    assert code.co_consts == code.co_names == code.co_freevars == code.co_cellvars == ()
    assert [line for _, _, line in code.co_lines()] == lines
