"""Every Python block of README.md and of the documentation site's pages
runs as written, each in a new interpreter, against the sample service
(tests/readme_blocks.py says how); the runner fails a block that does not
do what it shows; and README, the landing page, links to every page of the
site, at headings that exist."""

import re
import textwrap
import unicodedata
from pathlib import Path

import pytest
from markdown_it import MarkdownIt

import sample_service
from conftest import ROOT
from readme_blocks import SAMPLE_ADDRESS, find_blocks, run_block

# README.md, then the site's pages in their folder's order.
PAGES = [Path(ROOT, "README.md"), *sorted(Path(ROOT, "docs").glob("**/*.md"))]
BLOCKS = [block for page in PAGES
          for block in find_blocks(page.read_text(encoding="utf-8"),
                                   page.relative_to(ROOT).as_posix())]


@pytest.fixture(scope="module")
def address():
    with sample_service.SampleService() as service:
        yield service.url


@pytest.mark.parametrize("block", BLOCKS,
                         ids=lambda block: f"{block.page} line {block.line} {block.section}")
def test_block(block, address, tmp_path):
    if not block.run:
        pytest.skip("notest")
    if block.missing():
        pytest.skip(f"needs {', '.join(block.missing())}")
    status, output = run_block(block, address, str(tmp_path), ROOT)
    assert status == 0, f"{block.page} line {block.line} ({block.section}):\n{output}"


def test_readme_has_scripts_and_sessions_that_run():
    assert {block.kind for block in BLOCKS if block.run and block.page == "README.md"} == {
        "script", "session"}


def test_every_page_imports_set_base_url_from_one_place():
    imports = [f"{block.page} line {block.line}: {line}" for block in BLOCKS
               for line in block.code.splitlines()
               if "import" in line and "set_base_url" in line
               and line.lstrip(">.  ") != "from quorvane.config import set_base_url"]
    assert imports == []


def anchors(page):
    """Each heading's anchor on a forge (GitHub's rule) and on the site
    (Python-Markdown's toc)."""
    tokens = MarkdownIt("commonmark").parse(page.read_text(encoding="utf-8"))
    for previous, token in zip(tokens, tokens[1:]):
        if previous.type == "heading_open":
            heading = token.content.replace("`", "")
            site = unicodedata.normalize("NFKD", heading).encode("ascii", "ignore").decode()
            yield (re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-"),
                   re.sub(r"[-\s]+", "-", re.sub(r"[^\w\s-]", "", site).strip().lower()))


def test_readme_is_a_landing_page_whose_links_reach_every_page():
    """README links to the site's pages as docs/<page>.md, which a forge
    renders; each link and heading it names must exist, under the same
    anchor on a forge and on the site, and every page must be linked."""
    readme = Path(ROOT, "README.md").read_text(encoding="utf-8")
    assert len(readme.splitlines()) <= 250
    tokens = MarkdownIt("commonmark").parse(readme)
    links = [child.attrs["href"] for token in tokens if token.type == "inline"
             for child in token.children or [] if child.type == "link_open"]
    local = [link for link in links if "://" not in link]
    assert local, "README links to no page"
    for link in local:
        path, _, anchor = link.partition("#")
        page = Path(ROOT, path)
        assert page.is_file(), f"README links to {path}, which does not exist"
        assert not anchor or (anchor, anchor) in anchors(page), f"no heading of {path} has #{anchor}"
    pages = {page.relative_to(ROOT).as_posix() for page in Path(ROOT, "docs").glob("*.md")}
    assert pages - {"docs/index.md"} <= {link.partition("#")[0] for link in local}


FAILING = {
    "an exception": """
        ```python
        raise SystemExit("stop")
        ```
        """,
    "output other than shown": """
        ```pycon
        >>> print(1 + 1)
        3
        ```
        """,
    "output not shown": """
        ```pycon
        >>> print("hidden")
        ```
        """,
    "a line that is not part of an example": """
        ```pycon
        >>> x = 1
        y = 2
        ```
        """,
    "a name from the block before, without continuation": """
        ```python
        earlier = 1
        ```

        ```python
        print(earlier)
        ```
        """,
    "a warning": """
        ```python
        import warnings
        warnings.warn("look", UserWarning)
        ```
        """,
    "a session without examples": """
        ```pycon
        ```
        """,
}

PASSING = {
    "blanks at the ends of lines": """
        ```pycon
        >>> print("a  \\nb")
        a
        b
        ```
        """,
    "a continuation, which sees the block before it and its set-up": """
        ```pycon
        >>> base = 40
        ```

        ```pycon continuation
        >>> step = 1
        ```

        ```pycon continuation
        >>> base + step + 1
        42
        ```
        """,
    "the traceback of an expected exception": """
        ```pycon
        >>> {}["DateTime"]
        Traceback (most recent call last):
          ...
        KeyError: 'DateTime'
        ```
        """,
    "the sample address, replaced": f"""
        ```python
        assert "{SAMPLE_ADDRESS}" == "http://127.0.0.1:9", "{SAMPLE_ADDRESS}"
        ```
        """,
    "a block marked notest follows": """
        ```python
        pass
        ```

        ```python notest
        raise SystemExit("not run")
        ```
        """,
}


@pytest.mark.parametrize("markdown", FAILING.values(), ids=FAILING.keys())
def test_the_runner_fails(markdown, tmp_path):
    block = find_blocks(textwrap.dedent(markdown))[-1]
    status, output = run_block(block, "http://127.0.0.1:9", str(tmp_path), ROOT)
    assert status != 0, output


@pytest.mark.parametrize("markdown", PASSING.values(), ids=PASSING.keys())
def test_the_runner_passes(markdown, tmp_path):
    blocks = [block for block in find_blocks(textwrap.dedent(markdown)) if block.run]
    status, output = run_block(blocks[-1], "http://127.0.0.1:9", str(tmp_path), ROOT)
    assert status == 0, output


@pytest.mark.parametrize("page", ["README.md", "docs/errors.md"])
def test_a_failure_names_the_page_and_line(tmp_path, page):
    block = find_blocks("text\n\n```pycon\n>>> 1\n2\n```\n", page)[-1]
    status, output = run_block(block, "http://127.0.0.1:9", str(tmp_path), ROOT)
    assert status != 0 and f'File "{page}", line 4' in output, output


def test_a_block_that_needs_a_missing_module():
    blocks = find_blocks("```python needs=json,no_such_module\npass\n```\n\n"
                         "```python continuation needs=json\npass\n```\n")
    assert [block.needs for block in blocks] == [("json", "no_such_module"), ("json",)]
    assert blocks[-1].missing() == ["no_such_module"]


@pytest.mark.parametrize("markdown, message", [
    ("```py\npass\n```\n", "fence it as python"),
    ("```python continuaton\npass\n```\n", "unknown option"),
    ("```python continuation\npass\n```\n", "must follow"),
    ("```python\npass\n```\n\n```pycon continuation\n>>> 1\n1\n```\n", "must follow"),
])
def test_fences_that_would_not_run_as_meant_are_refused(markdown, message):
    with pytest.raises(ValueError, match=message):
        find_blocks(markdown)
