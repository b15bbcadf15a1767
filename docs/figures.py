"""Draw the documentation's figures from its own examples, so no picture is pasted by hand.

    python docs/figures.py          # writes docs/figures/*.png (run before `mkdocs build`)

Each figure runs the snippets of one page, as the test suite does, and saves what they build."""

from __future__ import annotations

import os
import sys
import tempfile
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

DOCS = Path(__file__).resolve().parent
sys.path.insert(0, str(DOCS.parent / "tests"))
from test_readme import run_page  # noqa: E402  (the tests' runner of a page's snippets)


def page_namespace(page: str) -> dict:
    """The namespace a page's snippets leave behind, run in a scratch folder."""
    namespace = {"__name__": "docs"}
    here = os.getcwd()
    with tempfile.TemporaryDirectory() as scratch:
        os.chdir(scratch)
        try:
            run_page(DOCS / page, namespace)
        finally:
            os.chdir(here)
    return namespace


def main() -> None:
    out = DOCS / "figures"
    out.mkdir(exist_ok=True)
    quick = page_namespace("quickstart.md")
    quick["timeline"].plot().savefig(out / "quickstart_timeline.png", dpi=70)
    print(f"wrote {out / 'quickstart_timeline.png'}")


if __name__ == "__main__":
    main()
