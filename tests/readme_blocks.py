"""The code blocks of README.md and of the documentation site's pages
(docs/*.md), found and run as a reader would run them.

A block fenced as ```python runs as a script; one fenced as ```pycon is an
interactive session (">>> " and "... " lines, each followed by what it
prints), run by doctest, which compares the output exactly, line by line
(blanks at the ends of lines aside). Each block runs in a new interpreter
of its own, with warnings turned into errors, so that it cannot lean on
what an earlier block did: a login, the service address, a connection.
Words after the language:

    continuation   the block runs after the one before it (and after what
                   that one runs after), in the same interpreter: for a
                   block that needs an earlier block's set-up
    notest         shown, never run
    needs=A,B      runs only where the modules A and B can be imported (a
                   package that some environments of the suite leave out)

Other fences (shell commands, printed output) and indented blocks are text.
The sample service's address as the pages give it, http://127.0.0.1:8000,
is replaced by the address of the sample service that the test started on
a free port.
"""

import dataclasses
import importlib.util
import os
import subprocess
import sys
from typing import List, Optional, Tuple

from markdown_it import MarkdownIt

SAMPLE_ADDRESS = "http://127.0.0.1:8000"
KINDS = {"python": "script", "pycon": "session"}
OPTIONS = {"continuation", "notest"}
# Languages that mean Python to a reader but would not be run.
UNRUN_PYTHON = {"py", "python3", "py3", "pytb", "ipython", "ipython3", "Python", "doctest"}


@dataclasses.dataclass(frozen=True)
class Block:
    kind: str                  # "script" or "session"
    line: int                  # the page's line of the block's first line of code
    code: str
    section: str               # the heading above it
    run: bool                  # False for notest
    after: Optional["Block"]   # the block it continues
    page: str = "README.md"    # the file it is in, as the suite names it
    needs: Tuple[str, ...] = ()  # modules it imports that may be missing

    def chain(self) -> List["Block"]:
        """The blocks that run, in order, when this one does."""
        return (self.after.chain() if self.after else []) + [self]

    def missing(self) -> List[str]:
        """The modules that the chain needs and that cannot be imported."""
        return [name for block in self.chain() for name in block.needs
                if importlib.util.find_spec(name) is None]

    def source(self) -> str:
        """The chain's code, each block on its own lines of the page, so
        that tracebacks and doctest's reports give the page's line numbers."""
        text = ""
        for block in self.chain():
            text += "\n" * (block.line - 1 - text.count("\n")) + block.code
        return text


def find_blocks(markdown: str, page: str = "README.md") -> List[Block]:
    """Every Python block of `markdown` (the text of `page`), in order;
    ValueError for a fence that looks like Python but would not run, or a
    misspelt option."""
    tokens = MarkdownIt("commonmark").parse(markdown)
    blocks: List[Block] = []
    section = ""
    for index, token in enumerate(tokens):
        if token.type == "inline" and tokens[index - 1].type == "heading_open":
            section = token.content
        if token.type != "fence" or not token.map:
            continue
        words = token.info.split()
        line = token.map[0] + 2
        if not words or words[0] not in KINDS:
            if words and words[0] in UNRUN_PYTHON:
                raise ValueError(f"{page} line {line}: fence it as python (a script) or "
                                 f"pycon (a >>> session), not {words[0]}, so that it runs")
            continue
        needs = tuple(name for word in words[1:] if word.startswith("needs=")
                      for name in word[len("needs="):].split(",") if name)
        unknown = {word for word in words[1:] if not word.startswith("needs=")} - OPTIONS
        if unknown:
            raise ValueError(f"{page} line {line}: unknown option {sorted(unknown)} "
                             f"(known: {sorted(OPTIONS)})")
        after = None
        if "continuation" in words:
            if not blocks or blocks[-1].kind != KINDS[words[0]] or not blocks[-1].run:
                raise ValueError(f"{page} line {line}: a continuation must follow a "
                                 f"{words[0]} block that runs")
            after = blocks[-1]
        blocks.append(Block(KINDS[words[0]], line, token.content, section,
                            "notest" not in words, after, page, needs))
    return blocks


# Run in the new interpreter: argv is the kind, the file holding the code and
# the page's name.
_CHILD = r'''
import doctest, sys
kind, path, page = sys.argv[1:]
with open(path, encoding="utf-8") as file:
    source = file.read()
if kind == "script":
    exec(compile(source, page, "exec"), {"__name__": "__main__"})
    sys.exit(0)

class Lines(doctest.OutputChecker):
    """The output as shown, but for blanks at the ends of lines (which
    editors drop)."""
    def check_output(self, want, got, optionflags):
        def trim(text):
            return "".join(line.rstrip() + "\n" for line in text.splitlines())
        return super().check_output(trim(want), trim(got), optionflags)

parser = doctest.DocTestParser()
# A line that is neither an example nor its output would be skipped by
# doctest without a word.
stray = [piece.strip() for piece in parser.parse(source, page)
         if isinstance(piece, str) and piece.strip()]
if stray:
    sys.exit("%s: not part of a >>> example: %r" % (page, stray[0].splitlines()[0]))
test = parser.get_doctest(source, {"__name__": "__main__"}, page, page, 0)
if not test.examples:
    sys.exit("%s: a pycon block without a >>> example" % page)
runner = doctest.DocTestRunner(checker=Lines())
runner.run(test)
sys.exit(1 if runner.failures else 0)
'''


def run_block(block: Block, address: str, workdir: str, root: str,
              timeout: float = 120) -> Tuple[int, str]:
    """Runs `block` (after the blocks it continues) in a new interpreter,
    with the sample address replaced by `address`; its exit status and
    what it printed."""
    path = os.path.join(workdir, f"block-line-{block.line}.txt")
    with open(path, "w", encoding="utf-8") as file:
        file.write(block.source().replace(SAMPLE_ADDRESS, address))
    # As a reader's shell would be: no address set outside the block.
    env = {name: value for name, value in os.environ.items() if name != "QUORVANE_BASE_URL"}
    env["PYTHONPATH"] = root
    env["PYTHONIOENCODING"] = "utf-8"
    # The interpreter that child processes start: under emulation, a
    # launcher that QUORVANE_TEST_PYTHON names.
    python = os.environ.get("QUORVANE_TEST_PYTHON") or sys.executable
    done = subprocess.run([python, "-W", "error", "-c", _CHILD, block.kind, path, block.page],
                          cwd=workdir, env=env, capture_output=True, text=True,
                          encoding="utf-8", timeout=timeout)
    return done.returncode, done.stdout + done.stderr
