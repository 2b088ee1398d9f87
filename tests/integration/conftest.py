"""Pytest fixtures over gateway_harness: a running gateway per test.

`gateway` is a started gateway with the default hive (fax.example.com, debug
logs on). `make_gateway(values=..., debug_logs=..., start=...)` makes more, or
ones with other hive values. At teardown every gateway is stopped with q; the
test fails if one ignored q or a sanitizer reported a fault. Program
directories are removed, except after a failed test (their paths are printed)
or when CVSMTPGW_KEEP=1.
"""

import os

import pytest

from gateway_harness import Gateway, corpus_dir


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    # Lets fixtures see whether the test itself failed.
    outcome = yield
    report = outcome.get_result()
    setattr(item, f"report_{report.when}", report)


@pytest.fixture
def make_gateway(request):
    made: list[Gateway] = []

    def factory(values=None, debug_logs=True, start=True, **kwargs) -> Gateway:
        gw = Gateway(values=values, debug_logs=debug_logs, **kwargs)
        made.append(gw)
        if start:
            gw.start()
        return gw

    yield factory

    problems = []
    for gw in made:
        gw.stop()
        problems += gw.problems()
    call = getattr(request.node, "report_call", None)
    keep = os.environ.get("CVSMTPGW_KEEP") == "1" or problems or (call is not None and call.failed)
    for gw in made:
        if keep:
            print(f"kept gateway directory {gw.root}")
        else:
            gw.remove()
    if problems:
        pytest.fail("\n".join(problems), pytrace=False)


@pytest.fixture
def gateway(make_gateway) -> Gateway:
    return make_gateway()


@pytest.fixture(scope="session")
def corpus():
    path = corpus_dir()
    if not path.is_dir():
        pytest.fail(f"mail corpus not found at {path} (set CVSMTPGW_CORPUS)")
    return path
