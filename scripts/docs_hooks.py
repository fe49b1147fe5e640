"""MkDocs hooks of the documentation site (mkdocs.yml names this file).

The pages' Python fences carry words for the suite's block runner after the
language (```pycon continuation, ```python needs=joblib, ```python notest:
tests/readme_blocks.py). The Markdown extensions would take such a fence for
text, so the words are dropped before a page is rendered; the runner reads
the page's own file.
"""

import re

# The opening line of a python or pycon fence with words after the language.
_FENCE = re.compile(r"^(?P<head>[ \t]*(?:`{3,}|~{3,})(?:python|pycon))[ \t]+\S[^\n]*$",
                    re.MULTILINE)


def on_page_markdown(markdown: str, **_: object) -> str:
    return _FENCE.sub(r"\g<head>", markdown)
