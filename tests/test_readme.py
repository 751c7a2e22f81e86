"""The README's Python examples run as written, on the data shipped with vornak."""

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"


def test_readme_python_examples_run(tmp_path, monkeypatch):
    pytest.importorskip("xradar")
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)
    assert len(blocks) >= 2
    monkeypatch.chdir(tmp_path)  # nothing may depend on the directory the user is in
    for block in blocks:
        exec(compile(block, str(README), "exec"), {})
