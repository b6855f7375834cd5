"""The README's `>>>` examples print what it shows, section by section."""

import doctest
import re

import pytest

from support import ROOT

README = (ROOT / "README.md").read_text(encoding="utf-8")


def sections_with_examples():
    for section in re.split(r"\n(?=## )", README):
        if "\n>>> " in section:
            yield section.splitlines()[0].removeprefix("## ")


def section_examples(title):
    section = README.split(f"\n## {title}\n", 1)[1].split("\n## ", 1)[0]
    # A closing fence ends an output; the fences themselves are no part of it.
    return re.sub(r"^ *```.*$", "", section, flags=re.MULTILINE)


def test_the_sections_users_start_from_have_examples():
    assert {"Usage", "Functions", "NumPy ufuncs: `veltra.ufuncs`"} <= set(sections_with_examples())


@pytest.mark.parametrize("title", list(sections_with_examples()))
def test_examples_print_what_the_readme_shows(title):
    test = doctest.DocTestParser().get_doctest(section_examples(title), {}, f"README: {title}", "README.md", 0)
    report = []
    result = doctest.DocTestRunner().run(test, out=report.append)
    assert result.attempted > 0
    assert result.failed == 0, "".join(report)
