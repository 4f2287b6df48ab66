"""The documents' Python: every ```python block of README.md and docs/*.md
runs as pasted, in a fresh namespace, without a warning."""
import os
import re
import warnings
from pathlib import Path

import pytest

ROOT = Path(os.environ["REGKERN_SOURCE_DIR"])
PAGES = [ROOT / "README.md"] + sorted((ROOT / "docs").glob("*.md"))
BLOCKS = [(page.relative_to(ROOT), n, code) for page in PAGES
          for n, code in enumerate(re.findall(r"^```python\n(.*?)^```", page.read_text(),
                                              re.S | re.M))]


@pytest.mark.parametrize("page, n, code", BLOCKS, ids=[f"{p}:{n}" for p, n, _ in BLOCKS])
def test_block_runs_as_pasted(page, n, code):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        exec(compile(code, f"{page} block {n}", "exec"), {})


def test_readme_has_its_python_example():
    assert any(str(page) == "README.md" for page, _, _ in BLOCKS)
