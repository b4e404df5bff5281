"""The demonstration routine, run as the main module: output, figures, names left, failures."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest
from conftest import LINES, SOURCE_FILE, chip_bytes, run_python

import vantrel
from vantrel.datasets.mstar import mstar_header, mstar_raw

# The reader's traceback lines (tools/source_lines.py).
D, H, R = LINES["demo"], LINES["header"], LINES["raw"]
SAMPLE = vantrel.data_path("mstar") + "BTR70_HB03787.004"
BOUND = ["vt", "plt", "datapath", "filepath", "header", "k", "v", "x"]  # in binding order

# Runs the module as main once per case, each time on a new module object (a failed execution
# step starts over) after the case's set-up, the complete run last; prints a JSON report.
SCRIPT = r"""
import contextlib, importlib.util, json, sys, types
from unittest import mock
import numpy as np
import vantrel

BOUND, dirs, cases = json.loads(ARGS)
spec, shows = importlib.util.find_spec("vantrel.datasets.mstar"), []

def run(case, setup):
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    with contextlib.ExitStack() as stack:
        patch = lambda *args: stack.enter_context(mock.patch.object(*args))
        def modules(entries={}):  # the case's changes are undone afterwards
            stack.enter_context(mock.patch.dict(sys.modules))
            sys.modules.pop("matplotlib.pyplot", None)
            sys.modules.update(entries)
        def record():  # per panel of the open figure: title, subplot geometry, sum of the image
            plt = sys.modules["matplotlib.pyplot"]
            shows.append([[ax.get_title(), ax.get_subplotspec().get_geometry()[:3],
                           float(np.sum(ax.images[0].get_array()))] for ax in plt.gcf().axes])
            shows[-1].append([len(plt.get_fignums()), str(vars(module)["x"].dtype)])
            plt.close("all")
        exec(setup, dict(globals(), **locals()))
        try:
            spec.loader.exec_module(module)
        except Exception as exc:
            tb, entries = exc.__traceback__, []
            while tb.tb_frame.f_code.co_name != "init vantrel.datasets.mstar":
                tb = tb.tb_next
            g = tb.tb_frame.f_globals
            while tb:
                entries.append([tb.tb_frame.f_code.co_name, tb.tb_frame.f_code.co_filename, tb.tb_lineno])
                tb = tb.tb_next
            return report(g, error=[type(exc).__name__, str(exc)], entries=entries, same=g is vars(module))
    g = vars(module)
    return report(g, shows=shows, test=g["__test__"], header=g["header"], filepath=g["filepath"],
                  same=[g["vt"] is vantrel, g["plt"] is sys.modules["matplotlib.pyplot"],
                        np.array_equal(g["x"], g["mstar_raw"](g["filepath"]))])

def report(g, **extra):
    x = g.get("x")
    return dict(extra, names=[n for n in BOUND if n in g], has_test="__test__" in g,
                kv=[g.get("k"), g.get("v")], x=x if x is None else [x.shape, str(x.dtype)])

print(json.dumps({case: run(case, setup) for case, setup in cases.items()}))
"""
STDOUT = "patch(sys, 'stdout', types.SimpleNamespace(write={}, flush=lambda: None))"
DATA = "patch(vantrel, 'data_path', lambda name: dirs[case])"  # a directory holding a crafted chip
# data_path, called at step 3, rebinds the reader that step 5 looks up: header items of any shape
FAKE = ("real = vantrel.data_path; patch(vantrel, 'data_path', lambda name: "
        "vars(module).update(mstar_header=lambda path: {}) or real(name))")
ITEMS = "types.SimpleNamespace(items=lambda: {})".format
CASES = {  # case: set-up, line, exception, message, entry below the routine's (name, line), names bound
    "no_vantrel": ("modules(); del sys.modules['vantrel']; patch(sys, 'meta_path', [])",  # no finder
                   D["import_vantrel"], "ModuleNotFoundError", "No module named 'vantrel'", None, 0),
    "no_pyplot": ("import matplotlib; patch(sys, 'meta_path', [])",
                  D["import_pyplot"], "ModuleNotFoundError", "No module named 'matplotlib.pyplot'", None, 1),
    "not_a_package": ("modules({'matplotlib': types.ModuleType('matplotlib')})", D["import_pyplot"], "ModuleNotFoundError",
                      "No module named 'matplotlib.pyplot'; 'matplotlib' is not a package", None, 1),
    # 'matplotlib.pyplot' found, so 'matplotlib' is taken: no pyplot, and no 'stand_in.pyplot' entry
    "pyplot_missing": ("modules({'matplotlib': types.ModuleType('stand_in'), 'matplotlib.pyplot': sys})", D["import_pyplot"],
                       "ImportError", "cannot import name pyplot", None, 1),
    "data_path_broken": ("patch(vantrel, 'data_path', None)", D["datapath"], "TypeError",
                         "'NoneType' object is not callable", None, 2),
    "datapath_none": ("patch(vantrel, 'data_path', lambda name: None)", D["filepath"], "TypeError",
                      "unsupported operand type(s) for +: 'NoneType' and 'str'", None, 3),
    "bad_header": (DATA, D["read_header"], "ValueError", "too many values to unpack (expected 2)",
                   ("vantrel.datasets.mstar.mstar_header", H["split"]), 4),
    "header_none": (FAKE.format("None"), D["header_loop"], "AttributeError", "'NoneType' object has no attribute 'items'", None, 5),
    "item_of_three": (FAKE.format(ITEMS("[('a', 'b', 'c')]")), D["header_loop"], "ValueError",
                      "too many values to unpack (expected 2)", None, 5),
    "item_empty": (FAKE.format(ITEMS("[()]")), D["header_loop"], "ValueError", "need more than 0 values to unpack", None, 5),
    "item_none": (FAKE.format(ITEMS("[None]")), D["header_loop"], "TypeError", "'NoneType' object is not iterable", None, 5),
    "item_of_one": (FAKE.format(ITEMS("['kv', iter('1')]")), D["header_loop"], "ValueError", "need more than 1 value to unpack",
                    None, 7),
    "header_grows": (STDOUT.format("lambda text: vars(module)['header'].update(extra='entry')"), D["header_loop"],
                     "RuntimeError", "dictionary changed size during iteration", None, 7),
    "print_fails": (STDOUT.format("None"), D["print_entry"], "TypeError", "'NoneType' object is not callable", None, 7),
    "short_data": (DATA, D["read_ap"], "error", "unpack_from requires a buffer of at least 48 bytes for unpacking 48 "
                   "bytes at offset 0 (actual buffer size is 47)", ("vantrel.datasets.mstar.mstar_raw", R["samples"]), 7),
    "no_rows": (DATA, D["print_ap"], "ValueError", "zero-size array to reduction operation maximum which has no identity",
                ("max", None), 8),
    "show_fails": ("import matplotlib.pyplot as plt; patch(plt, 'show', lambda: 1 / 0)", D["show_1"],
                   "ZeroDivisionError", "division by zero", ("<lambda>", None), 8),
}
CHIPS = {"bad_header": chip_bytes([("PhoenixHeaderLength", "{offset}"), ("Odd", "a= b")]),
         "short_data": chip_bytes()[:-1], "no_rows": chip_bytes(rows=0)}


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    dirs = {case: str(tmp_path_factory.mktemp(case)) + os.sep for case in CHIPS}
    for case, content in CHIPS.items():
        with open(dirs[case] + "BTR70_HB03787.004", "wb") as chip:
            chip.write(content)
    setups = {case: CASES[case][0] for case in CASES}
    setups["complete"] = "import matplotlib.pyplot as plt; plt.close('all'); patch(plt, 'show', record)"
    proc = run_python(SCRIPT.replace("ARGS", repr(json.dumps([BOUND, dirs, setups]))), env={"MPLBACKEND": "Agg"})
    return json.loads(proc.stdout.splitlines()[-1]), dirs


@pytest.mark.parametrize("case", CASES)
def test_failure_ends_the_import_leaving_earlier_names(runs, case):
    _, line, exc, message, below, bound = CASES[case]
    got, chip = runs[0][case], runs[1].get(case, vantrel.data_path("mstar")) + "BTR70_HB03787.004"
    assert got["error"] == [exc, message]
    assert got["entries"][0] == ["init vantrel.datasets.mstar", SOURCE_FILE, line]
    assert [entry[0] for entry in got["entries"][1:2]] == ([below[0]] if below else [])
    assert not below or not below[1] or got["entries"][1][1:] == [SOURCE_FILE, below[1]]
    assert got["same"] and not got["has_test"] and got["names"] == BOUND[:bound]
    if case == "item_of_one":  # the first item, a str, is iterated
        assert got["kv"] == ["k", "v"]
    elif "k" in got["names"]:  # the entry printed last, or being printed
        assert got["kv"] == list(list(mstar_header(chip).items())[0 if line in (D["header_loop"], D["print_entry"]) else -1])
    if "x" in got["names"]:
        assert got["x"] == [list(mstar_raw(chip, "ap").shape), "float64"]


def test_complete_run_leaves_its_names_and_binds_test(runs):
    got, header = runs[0]["complete"], mstar_header(SAMPLE)
    assert got["names"] == BOUND and got["has_test"] and got["test"] == {}
    assert got["filepath"].endswith("BTR70_HB03787.004") and list(got["header"].items()) == list(header.items())
    assert got["kv"] == list(list(header.items())[-1])
    assert got["x"] == [[128, 128], "complex128"] and got["same"] == [True, True, True]


def test_figures_show_the_planes_then_the_complex_views(runs):
    ap, c = mstar_raw(SAMPLE, "ap"), mstar_raw(SAMPLE)
    expected = [((1, 2), [("amplitude", ap[..., 0]), ("phase", ap[..., 1])], "float64"),
                ((2, 2), [("real part", c.real), ("imaginary part", c.imag), ("amplitude", np.abs(c)),
                          ("phase", np.angle(c))], "complex128")]
    shows = runs[0]["complete"]["shows"]
    assert len(shows) == len(expected)
    for (*panels, state), (grid, images, dtype) in zip(shows, expected):
        assert [panel[:2] for panel in panels] == [[title, [*grid, i]] for i, (title, _) in enumerate(images)]
        assert [panel[2] for panel in panels] == pytest.approx([np.sum(image) for _, image in images])
        assert state == [1, dtype]  # one figure per show; the complex array is read after the first


@pytest.fixture(scope="module")
def launched(tmp_path_factory):
    cwd = tmp_path_factory.mktemp("launcher")
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "MPLBACKEND")}
    proc = subprocess.run([sys.executable, "-m", "vantrel.datasets"], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc, cwd


def test_launcher_prints_the_header_then_the_value_ranges(launched):
    header, ap, c = mstar_header(SAMPLE), mstar_raw(SAMPLE, "ap"), mstar_raw(SAMPLE)
    ranges = [f"{a.shape} {np.max(a)} {np.min(a)}" for a in (ap, c)]
    assert launched[0].stdout.splitlines() == [f"{k} {v}" for k, v in header.items()] + ranges


def test_launcher_saves_the_figures_as_png_files_named_on_stderr(launched):
    proc, cwd = launched
    names = sorted(path.name for path in cwd.iterdir())
    assert names == ["mstar_demo_1.png", "mstar_demo_2.png"]
    for name in names:
        assert (cwd / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and name in proc.stderr
    assert "non-interactive" not in proc.stderr


def test_ordinary_import_runs_no_routine():
    proc = run_python(f"""
        import json, sys
        import vantrel.datasets.mstar as m
        print(json.dumps([sorted(set(vars(m)) & set({BOUND!r})), "matplotlib" in sys.modules, m.__test__]))""")
    assert json.loads(proc.stdout) == [[], False, {}]
