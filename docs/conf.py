"""Sphinx configuration of vantrel's documentation: `make docs` builds it into build/docs.

Before the sources are read, the generated pages are made afresh in docs/generated/ (not kept
in git): the user's guide cut from README.md (readme_pages.py), the split tables from
vantrel.SPLITS (split_tables.py), the command's help texts (cli_help.py), the public names that
api.rst does not document yet (api_rest.py) and the gallery of real chips (make_gallery.py),
which also draws into docs/_static/ the two figures that the reader's help texts show.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import vantrel  # noqa: E402

project = "vantrel"
copyright = "the vantrel developers"
release = version = vantrel.__version__

extensions = ["myst_parser", "sphinx.ext.autodoc", "sphinx.ext.napoleon"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["generated/intro.md", "generated/api_rest.rst"]  # parts of other pages

# NumPy-style docstrings; the API's docstrings keep changing, so references are not chased.
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_rtype = False
nitpicky = False
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True}

html_theme = "alabaster"
html_title = f"vantrel {release}"
html_theme_options = {"description": "Fast, exact access to the MSTAR SAR data set"}


def _generate(app: object) -> None:
    import api_rest
    import cli_help
    import make_gallery
    import readme_pages
    import split_tables

    out = os.path.join(HERE, "generated")
    readme_pages.generate(os.path.join(HERE, os.pardir, "README.md"), out)
    split_tables.generate(out)
    cli_help.generate(out)
    api_rest.generate(out)
    make_gallery.generate(out)
    make_gallery.reader_figures(os.path.join(HERE, "_static"))


# Napoleon reads the first line "Words: more words" of a property's or attribute's docstring as
# "type: description"; this code's open with a sentence, so they are kept as written (unless they
# have sections, which napoleon must turn into fields).
_AS_WRITTEN: dict[str, list[str]] = {}


def _keep_as_written(app, what, name, obj, options, lines):  # noqa: ANN001, ANN201
    if what in ("property", "attribute", "data") and not any(set(line.strip()) == {"-"} for line in lines):
        _AS_WRITTEN[name] = list(lines)


def _restore_as_written(app, what, name, obj, options, lines):  # noqa: ANN001, ANN201
    if name in _AS_WRITTEN:
        lines[:] = _AS_WRITTEN.pop(name)


def setup(app):  # noqa: ANN001, ANN201
    app.connect("builder-inited", _generate)
    app.connect("autodoc-process-docstring", _keep_as_written, priority=400)
    app.connect("autodoc-process-docstring", _restore_as_written, priority=600)
