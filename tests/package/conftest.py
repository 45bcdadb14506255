# SPDX-License-Identifier: MIT
"""The release as a user gets it, one file of cases for each platform, run by CTest as a pytest run:

  PYTHONPATH=scripts /usr/bin/python3 -m pytest tests/package/test_package.py --build build --release-version 1.0.0.0
  PYTHONPATH=scripts /usr/bin/python3 -m pytest tests/package/test_windows_package.py --build build-windows \
      --release-version 1.0.0.0

What this machine cannot do (install a package as a normal user, make a private mount namespace) is
skipped; a run that skipped something and failed nothing exits 77, which CTest counts as skipped."""

import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

from qm47t_harness import REPO


def pytest_addoption(parser):
    parser.addoption("--build", type=Path, required=True, help="the build folder that holds the release")
    parser.addoption("--release-version", required=True, help="the project's version, which the release names")
    parser.addoption("--cpack", default="cpack", help="the cpack that makes the Debian package")


def pytest_sessionfinish(session, exitstatus):
    stats = session.config.pluginmanager.get_plugin("terminalreporter").stats
    if exitstatus == 0 and stats.get("skipped"):
        session.exitstatus = 77


@pytest.fixture(scope="session")
def build(pytestconfig):
    return pytestconfig.getoption("build").resolve()


@pytest.fixture(scope="session")
def version(pytestconfig):
    return pytestconfig.getoption("release_version")


@pytest.fixture(scope="session")
def metainfo():
    """The AppStream metainfo, the one place that names the release's developer and contact."""
    return ElementTree.parse(REPO / "resources" / "io.github.qm47t.converter.metainfo.xml").getroot()
