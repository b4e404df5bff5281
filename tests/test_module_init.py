"""Import-time behaviour of vantrel.datasets.mstar, each case in a fresh interpreter."""

import pytest

from conftest import LINES, REAL, run_python

CHIP, NAME = str(REAL / "HB15696.001"), "vantrel.datasets.mstar"
WORKS = f'int(m.mstar_header({CHIP!r})["NumberOfRows"]) == 129 and m.mstar_raw({CHIP!r}).shape == (129, 128)'


def test_namespace_reimport_reload_no_warning_and_open_captured():
    run_python(f"""
        import builtins, importlib, os, struct, sys, warnings, numpy
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import {NAME} as m
        assert caught == [], caught
        ns = vars(m)
        assert set(ns) == {{"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__builtins__",
                           "os", "struct", "np", "mstar_header", "mstar_raw", "__test__"}}, set(ns)
        assert m.__doc__ is None and m.__name__ == "{NAME}" and m.__package__ == "vantrel.datasets"
        assert m.__file__ == m.__spec__.origin and m.__loader__ is m.__spec__.loader
        assert ns["__builtins__"] is builtins and m.os is os and m.struct is struct and m.np is numpy
        assert type(m.__test__) is dict and m.__test__ == {{}} and "matplotlib" not in sys.modules
        m.np = "rebound"; del m.os; m.extra = 1
        del sys.modules["{NAME}"]
        import {NAME} as again
        assert again is m and sys.modules["{NAME}"] is m and importlib.reload(m) is m
        assert m.np == "rebound" and "os" not in ns and m.extra == 1
        m.np, calls, real_open = numpy, [], builtins.open
        builtins.open = lambda *a: calls.append(a) or real_open(*a)
        assert {WORKS} and calls == []
    """, env={"PYTHONWARNINGS": "error"})  # a version warning would make the import itself fail


def test_second_interpreter_is_refused():
    run_python(f"""
        import _interpreters, sys
        import {NAME} as m
        interp = _interpreters.create("legacy")
        err = _interpreters.exec(interp, "import {NAME}")
        assert err.type.__name__ == "ImportError" and err.msg == (
            "Interpreter change detected - this module can only be loaded into one interpreter per process."), err
        _interpreters.destroy(interp)
        del sys.modules["{NAME}"]
        import {NAME} as again
        assert again is m and {WORKS}
    """)


@pytest.mark.parametrize("present", [False, True])
def test_loaded_under_another_name(present):
    # The loader finds PyInit_<last name component>, so the other name must end in "mstar".
    run_python(f"""
        import importlib.util, sys
        origin, sentinel = importlib.util.find_spec("{NAME}").origin, object()
        if {present}:
            sys.modules["{NAME}"] = sentinel
        found = importlib.util.spec_from_file_location("mstar", origin)
        m = sys.modules["mstar"] = importlib.util.module_from_spec(found)
        found.loader.exec_module(m)
        assert m.__name__ == "mstar" and m.mstar_header.__module__ == "{NAME}" and sys.modules["mstar"] is m
        assert sys.modules["{NAME}"] is (sentinel if {present} else m) and {WORKS}
    """)


def test_numpy_refused_then_later_import():
    # The frozen BuiltinImporter raises, so no Python frame lies inside the module's own entry.
    run_python(f"""
        import importlib.machinery as im, os, struct, sys, vantrel.datasets
        class Refuse:
            def find_spec(self, name, path=None, target=None):
                return im.ModuleSpec(name, im.BuiltinImporter) if name == "numpy" else None
        sys.meta_path.insert(0, finder := Refuse())
        try:
            import {NAME}
            raise AssertionError("imported without numpy")
        except ImportError as e:
            err = e
        assert str(err) == "'numpy' is not a built-in module" and err.name == "numpy"
        tb = err.__traceback__
        while tb.tb_next:
            tb = tb.tb_next
        code, ns = tb.tb_frame.f_code, tb.tb_frame.f_globals
        assert (code.co_name, code.co_filename, tb.tb_lineno) == ("init {NAME}", "vantrel/datasets/mstar.py", {LINES["init"]["import_numpy"]})
        assert ns["os"] is os and ns["struct"] is struct and "__builtins__" in ns and tb.tb_frame.f_locals == {{}}
        assert not {{"np", "mstar_header", "mstar_raw", "__test__"}} & set(ns), sorted(ns)
        sys.meta_path.remove(finder)
        import {NAME} as m
        assert vars(m) is not ns and m.np is sys.modules["numpy"] and m.__test__ == {{}} and {WORKS}
    """)


def test_open_captured_before_import_and_close_only_on_success(tmp_path):
    bad = tmp_path / "bad.chip"
    bad.write_bytes(b"\n[PhoenixHeaderVer01.05]\nno separator\n[EndofPhoenixHeader]\n")
    run_python(f"""
        import builtins, pathlib
        real_open, log, path = builtins.open, [], pathlib.Path({CHIP!r})
        class File:
            def __init__(self, f): self.f = f
            def __getattr__(self, name): return getattr(self.f, name)
            def close(self): log.append("close"); self.f.close()
        builtins.open = lambda *args: log.append(args) or File(real_open(*args))
        import {NAME} as m
        builtins.open = real_open
        for call, arg in ((m.mstar_header, path), (m.mstar_raw, {CHIP!r})):
            log.clear()
            call(arg)
            assert log == [(arg, "rb"), "close"] and log[0][0] is arg, log
            log.clear()
            try:
                call({str(bad)!r}); raise AssertionError("no failure")
            except ValueError:
                assert log == [({str(bad)!r}, "rb")], log
    """)
