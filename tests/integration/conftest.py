"""`gateway`: a started gateway with the default hive; `make_gateway(values=...,
debug_logs=..., start=...)` makes more. At teardown each is stopped with q; the
test fails if one ignored q or a sanitizer reported a fault. Directories are
kept after a failure or with CVSMTPGW_KEEP=1."""

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

    def factory(values=None, debug_logs=True, start=True) -> Gateway:
        made.append(Gateway(values=values, debug_logs=debug_logs))
        return made[-1].start() if start else made[-1]

    yield factory
    for gw in made:
        gw.stop()
    problems = [p for gw in made for p in gw.problems()]
    call = getattr(request.node, "report_call", None)
    keep = os.environ.get("CVSMTPGW_KEEP") == "1" or problems or (call is not None and call.failed)
    for gw in made:
        if keep:
            print(f"kept gateway directory {gw.root}")
        else:
            shutil.rmtree(gw.root, ignore_errors=True)
    if problems:
        pytest.fail("\n".join(problems), pytrace=False)


@pytest.fixture
def gateway(make_gateway) -> Gateway:
    return make_gateway()
