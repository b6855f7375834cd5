"""What the installed distribution says about itself: version, licence, dependencies."""

import importlib.metadata
import re

import veltra

from support import ROOT

DIST = importlib.metadata.distribution("veltra")


def test_version_is_the_installed_metadata_version():
    assert veltra.__version__ == importlib.metadata.version("veltra") == DIST.metadata["Version"]


def test_version_is_the_one_written_in_meson_build():
    # The tests run against a build of this tree, so the three agree; a second literal
    # anywhere (in __init__.py, say) would drift from it on the next release.
    written = re.search(r"^\s*version:\s*'([^']+)'", (ROOT / "meson.build").read_text(), flags=re.M).group(1)
    assert veltra.__version__ == written
    assert written not in (ROOT / "src" / "veltra" / "__init__.py").read_text()


def test_licence_is_shipped_in_the_wheel():
    assert DIST.metadata["License-Expression"] == "BSD-3-Clause"
    shipped = [f for f in DIST.files if f.name == "LICENSE"]
    assert len(shipped) == 1
    text = shipped[0].read_text()
    assert text == (ROOT / "LICENSE").read_text()
    assert "BSD 3-Clause License" in text and "Copyright (c) The veltra developers." in text
