"""`gateway`, `make_gateway(values=, debug_logs=, binary=, start=)`: gateways (started unless start=False, for
a test that fills its spool first), stopped with q at teardown, failing the test if one ignored q or a sanitizer
reported; kept after a failure or with CVSMTPGW_KEEP=1."""

import os
import shutil

import pytest

from gateway_harness import Gateway


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    setattr(item, f"report_{report.when}", report)


@pytest.fixture
def make_gateway(request):
    made: list[Gateway] = []

    def factory(values=None, debug_logs=True, binary=None, start=True) -> Gateway:
        made.append(Gateway(values=values, debug_logs=debug_logs, binary=binary))
        return made[-1].start() if start else made[-1]

    yield factory
    for gw in made:
        gw.stop()
    problems = [p for gw in made for p in gw.problems()]
    failed = getattr(request.node, "report_call", None) is not None and request.node.report_call.failed
    keep = os.environ.get("CVSMTPGW_KEEP") == "1" or problems or failed
    for gw in made:
        print(f"kept gateway directory {gw.root}") if keep else shutil.rmtree(gw.root, ignore_errors=True)
    if problems:
        pytest.fail("\n".join(problems), pytrace=False)


@pytest.fixture
def gateway(make_gateway) -> Gateway:
    return make_gateway()
