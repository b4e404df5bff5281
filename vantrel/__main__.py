"""`python -m vantrel`: the `vantrel` command."""

from .cli import main

raise SystemExit(main())
