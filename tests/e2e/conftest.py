# SPDX-License-Identifier: MIT
"""End-to-end tests of the real qm47t-converter binary, driven as a user drives it:

  PYTHONPATH=scripts /usr/bin/python3 -m pytest tests/e2e [--platform linux|windows] [--program PATH] [-k NAME]

The program runs on one private Xvfb for the session, with a virtual QM47T (scripts/qm47t_harness) on
its COM1: a pseudo-terminal bound over /dev/ttyS0 in a private mount namespace; the Windows build
there under Wine, on a prefix opened once for the session. The cases use only the keyboard and mouse
(xdotool), the clipboard (xclip) and what reaches the port; the expected bytes come from Python's own
UTF-16BE encoder. A case marked `only(platform, reason)` is skipped on the other platform."""

import contextlib
import shutil
from pathlib import Path

import pytest

# The helpers' own checks (Program.sends and the like) say what they saw, as the cases' do.
pytest.register_assert_rewrite("e2e")
from e2e import NOT_HERE, Linux, Program, Windows, fresh_desktop
from qm47t_harness import Unavailable
from qm47t_harness.display import Xvfb, _xlib
from qm47t_harness.module import VirtualModule
from qm47t_harness.namespace import check_namespace

TYPED = set()


def pytest_addoption(parser):
    repo = Path(__file__).resolve().parents[2]
    parser.addoption("--platform", choices=("linux", "windows"), default="linux")
    parser.addoption("--program", type=Path, default=repo / "build" / "qm47t-converter")


def pytest_itemcollected(item):
    # Wine reads the keymap only when the program starts, so the characters of every (what, how,
    # text) table named CASES with how "type" get their keys first, also when -k picks one case.
    TYPED.update("".join(row[2] for row in getattr(item.cls, "CASES", ()) if len(row) == 3 and row[1] == "type"))


def pytest_collection_modifyitems(config, items):
    for item in items:
        only = item.get_closest_marker("only")
        if only and only.args[0] != config.getoption("platform"):
            item.add_marker(pytest.mark.skip(reason=NOT_HERE + only.args[1]))


def pytest_sessionfinish(session, exitstatus):
    # Nothing failed and nothing ran: this machine cannot run the suite (no namespaces, a tool
    # missing), which CTest counts as skipped with status 77. A program not built is a failure.
    stats = session.config.pluginmanager.get_plugin("terminalreporter").stats
    if exitstatus == 0 and stats.get("skipped") and not stats.get("passed"):
        session.exitstatus = 77


def why_not_here():
    """Why these tests cannot run on this machine, or None."""
    tools = ("Xvfb", "xdotool", "xclip", "xprop", "strace", "openbox")
    missing = [tool for tool in tools if shutil.which(tool) is None]
    if missing:
        return "missing tools: " + ", ".join(missing) + " (make test installs them on Debian)"
    try:
        _xlib()
        check_namespace()
    except Unavailable as reason:
        return str(reason)
    return None


@pytest.fixture(scope="session", autouse=True)
def platform(request):
    """The program under test, Linux() or Windows(); the Windows one's Wine prefix open for the session."""
    problem = why_not_here()
    if problem:
        pytest.skip(f"the end-to-end tests cannot run here: {problem}")
    program = request.config.getoption("program").resolve()
    chosen = Windows(program) if request.config.getoption("platform") == "windows" else Linux(program)
    chosen.typed = "".join(sorted(TYPED))
    unbuilt = [str(path) for path in chosen.files() if not path.is_file()]
    if unbuilt:
        pytest.exit(f"not built: {', '.join(unbuilt)}", returncode=1)
    if chosen.wine:
        try:
            chosen.wine.open()
        except Unavailable as reason:
            pytest.skip(f"the end-to-end tests cannot run here: {reason}")
        except RuntimeError as problem:
            pytest.exit(str(problem), returncode=1)
    yield chosen
    if chosen.wine:
        chosen.wine.close()


@pytest.fixture(scope="session")
def xvfb():
    with Xvfb() as server:
        yield server


@pytest.fixture
def desktop(xvfb):
    return fresh_desktop(xvfb.env)


@pytest.fixture
def cleanup():
    """addCleanup's counterpart: what it is given runs after the case, last first, pass or fail."""
    with contextlib.ExitStack() as stack:
        yield stack.callback


@pytest.fixture
def start(desktop, platform, cleanup):
    """Starts the program, as Program(wrapper=..., platform=..., popen arguments) would."""
    return lambda wrapper=(), platform=platform, **popen_args: Program(desktop, platform, cleanup, wrapper,
                                                                          **popen_args)


@pytest.fixture
def program(start):
    """One run of the program with a virtual module of its own (program.module)."""
    return start()


@pytest.fixture(scope="class")
def shared_program(xvfb, platform):
    """One run of the program for all the cases of a class, taken one after the other as in a user's
    session; it lives until the class ends, so such a class holds no case that starts another."""
    with contextlib.ExitStack() as stack:
        yield Program(fresh_desktop(xvfb.env), platform, stack.callback)


@pytest.fixture
def module(cleanup):
    """A virtual module that no program has been given."""
    module = VirtualModule()
    cleanup(module.close)
    return module
