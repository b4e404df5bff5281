"""The help texts of mstar_header and mstar_raw: fixed lines, layout, and runnable examples."""

import contextlib
import io
import re
import textwrap

import numpy as np
import pytest

import vantrel as vt
import vantrel.datasets.mstar as m

HEADER_TOP = ["read header information of mstar file", "", "    Parameters", "    ----------",
              "    filepath : str", "        the mstar file path string.", "", "    Returns", "    -------",
              "    dict", "        header information dictionary.", ""]
RAW_TOP = ["load mstar raw data", "",
           "    Each file is constructed with a prepended, variable-length, ",
           "    Phoenix formatted (ASCII) header which contains detailed ground ",
           "    truth and sensor information for the specific chip.  Following ",
           "    the Phoenix header is the data block.  The data block is written ",
           "    in Sun floating point format and is divided into two blocks, a ",
           "    magnitude block followed by a phase block.  Byte swapping may be ",
           "    required for certain host platforms.  Tools for reading and ",
           "    manipulating the header information may be found at ",
           None,  # line 11: the distributor's address, a blank and a full stop
           "", "    Parameters", "    ----------", "    filepath : str", "        the data file path string.",
           "    ofmt : str, optional",
           "        output data type formation, ``'ap'`` for amplitude and angle,",
           "        ``'c'`` for complex, and ``'r'`` for real and imaginary.",
           "", "    Returns", "    -------", "    array",
           "        the raw data with size :math:`{\\mathbb C}^{H\\times W}` (``'c'``), ",
           "        :math:`{\\mathbb R}^{H\\times W \\times 2}` (``'r'`` or ``'ap'``)", ""]


@pytest.mark.parametrize("func, top", [(m.mstar_header, HEADER_TOP), (m.mstar_raw, RAW_TOP)])
def test_fixed_lines_and_layout(func, top):
    doc = func.__doc__
    lines = doc.split("\n")
    assert [t if t is not None else lines[i] for i, t in enumerate(top)] == lines[:len(top)]
    if func is m.mstar_raw:
        assert re.fullmatch(r"    \S+ \.", lines[10]), lines[10]
        assert "amppha" not in doc.lower() and "cplx" not in doc.lower()  # only 'ap', 'c', 'r' are documented
    assert doc.isascii() and doc.endswith("\n\n    ") and not doc.endswith("\n\n\n    ")
    lines = lines[:-1]
    assert lines[0] and not lines[0][0].isspace()
    for line in lines[1:]:
        indent = len(line) - len(line.lstrip(" "))
        assert line == "" or indent in (4, 7) or indent >= 8 and indent % 4 == 0, repr(line)
        assert "\t" not in line and (line == "" or line.strip())  # empty lines hold no blanks
    titles = [i - 1 for i, line in enumerate(lines) if re.fullmatch(r"    -+", line)]
    assert [lines[i].strip() for i in titles] == ["Parameters", "Returns", "Examples"]
    for i in titles:
        assert len(lines[i + 1]) - 4 == len(lines[i].strip()) and lines[i - 1] == "" and lines[i - 2] != ""


def test_examples_structure():
    head = m.mstar_header.__doc__.split("\n")[12:]
    assert head[:5] == ["    Examples", "    --------",
                        "    The following example shows how to read the header information.", "", "    ::"]
    raw = m.mstar_raw.__doc__.split("\n")[26:]
    assert raw[:2] == ["    Examples", "    --------"]
    captions = [i for i, line in enumerate(raw) if line.startswith("    Read mstar raw")]
    assert [raw[i] for i in captions] == ["    Read mstar raw amplitude-phase data and show in a figure.",
                                          "    Read mstar raw complex-valued data and show in a figure."]
    assert captions[0] == 2 and raw[captions[1] - 3] != "" and raw[captions[1] - 2:captions[1]] == ["", ""]
    for i, png in zip(captions, ["SHOW1_BTR70_HB03787.png", "SHOW_BTR70_HB03787.png"]):
        assert raw[i + 1:i + 9] == ["", f"    .. image:: ./_static/{png}", "       :scale: 100 %",
                                    "       :align: center", "",
                                    "    The results shown in the above figure can be obtained by the following codes.",
                                    "", "    ::"]


def scripts(doc):
    """The 8-blank-indented blocks after each '::' line, dedented."""
    lines, blocks = doc.split("\n"), []
    for i in (i for i, line in enumerate(lines) if line == "    ::"):
        assert lines[i + 1] == "" and lines[i + 2].startswith("        ")
        block = []
        for line in lines[i + 2:]:
            if line and not line.startswith("        "):
                break
            block.append(line)
        blocks.append(textwrap.dedent("\n".join(block)))
    return blocks


def test_examples_run(monkeypatch):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    monkeypatch.setattr(plt, "show", lambda *a, **k: None)  # headless: a broken script still fails
    sample = vt.data_path("mstar") + "BTR70_HB03787.004"
    (header_script,) = scripts(m.mstar_header.__doc__)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(header_script, {})
    assert out.getvalue().splitlines() == [f"{k} {v}" for k, v in m.mstar_header(sample).items()]
    titles = [["amplitude", "phase"], ["real part", "imaginary part", "amplitude", "phase"]]
    for script, ofmt, expected in zip(scripts(m.mstar_raw.__doc__), ["ap", "c"], titles, strict=True):
        plt.close("all")
        out, ns = io.StringIO(), {}
        with contextlib.redirect_stdout(out):
            exec(script, ns)
        x = m.mstar_raw(sample, ofmt)
        assert np.array_equal(ns["x"], x) and ns["filepath"] == sample
        assert out.getvalue() == f"{x.shape} {np.max(x)} {np.min(x)}\n"
        assert [ax.get_title() for ax in plt.gcf().axes] == expected
    plt.close("all")
