"""Fixtures shared by the tests."""

import faulthandler
import os

import pytest

import vestra

# No test may outlive this: a hang dumps every thread's stack and ends the run.
HANG_LIMIT_SECONDS = 120


def pytest_configure(config):
    # Long stress cases carry this marker; nothing deselects them by default.
    config.addinivalue_line("markers", "slow: a long stress case (still run by default)")
    config.addinivalue_line(
        "markers", "hardware_skip: may skip even where every test must run (no such device)"
    )
    config.addinivalue_line(
        "markers",
        "unsanitized: left out of the sanitizer run, whose runtime needs descriptors of its "
        "own and cannot check code run with none left",
    )


# Set by the test command: there every test can run, so a skip (no root, no mount, no
# subinterpreters) is an error instead; only a test marked hardware_skip may skip there, for
# want of a device the machine does not have.
REQUIRE_ALL = os.environ.get("VESTRA_REQUIRE_ALL") == "1"


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if REQUIRE_ALL and report.skipped and "hardware_skip" not in item.keywords:
        report.outcome = "failed"
        reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else report.longrepr
        report.longrepr = f"skipped under VESTRA_REQUIRE_ALL=1: {reason}"


@pytest.fixture(autouse=True)
def hang_guard():
    faulthandler.dump_traceback_later(HANG_LIMIT_SECONDS, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def root(tmp_path):
    """A directory to watch, by its canonical path (the form events carry)."""
    return os.path.realpath(tmp_path)


@pytest.fixture(scope="session")
def panic_exception_type():
    """The PanicException type, taken from the failure of watching a missing path."""
    try:
        vestra.rswatcher("/nonexistent/vestra-type-probe", print)
    except BaseException as error:  # noqa: B902 - a PanicException is not an Exception
        return type(error)
    pytest.fail("watching a missing path did not raise")


@pytest.fixture(autouse=True)
def rerun_environment(request, monkeypatch):
    # LeakSanitizer's thread stopper can crash at a child's exit for some layouts of the
    # child's starting stack, which its environment shapes; a test run again under the
    # sanitizer (scripts/check-hardening) gives its children a different one.
    runs = getattr(request.node, "execution_count", 1)
    if runs > 1:
        monkeypatch.setenv("VESTRA_TEST_RUN", "x" * (17 * runs))
