"""The Debian package that `cpack` builds, unpacked into a scratch root with `dpkg -x`: its unit file must be
exactly what `cvsmtpgw -i` writes for the packaged layout; its configuration file is kept on upgrades."""

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

from gateway_harness import REPO_ROOT
from outbound_support import SyslogSocket

BUILD = Path(os.environ.get("CVSMTPGW_BUILD") or REPO_ROOT / "build")

@pytest.fixture(scope="module")
def package():
    work = Path(tempfile.mkdtemp(prefix="cvgw-deb-", dir="/tmp"))
    subprocess.run(["cpack", "-G", "DEB", "--config", str(BUILD / "CPackConfig.cmake"), "-B", str(work / "out")],
                   check=True, capture_output=True, timeout=600)
    (deb,) = (work / "out").glob("cvsmtpgw_*.deb")
    root = work / "root"
    subprocess.run(["dpkg", "-x", str(deb), str(root)], check=True, timeout=120)
    subprocess.run(["dpkg-deb", "-e", str(deb), str(work / "control")], check=True, timeout=120)
    yield deb, root, work
    shutil.rmtree(work, ignore_errors=True)


def test_unit_file_is_what_install_writes(package):
    _, root, work = package
    hive = root / "etc/cvsmtpgw/hive.reg"
    original = hive.read_text()
    units = work / "units"
    units.mkdir(exist_ok=True)
    syslog = SyslogSocket(work / "syslog")
    try:
        # With the packaged hive and its debug log switched on, as an administrator would.
        hive.write_text(original.replace(';"logfile"=', '"logfile"='))
        env = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "INVOCATION_ID")}
        env.update(CVSMTPGW_HIVE=str(hive), CVSMTPGW_UNIT_DIR=str(units), CVSMTPGW_SYSLOG_SOCKET=str(work / "syslog"),
                   CVSMTPGW_SYSTEMD_RUN_DIR=str(work / "no-systemd"))
        result = subprocess.run([str(root / "usr/sbin/cvsmtpgw"), "-i"], env=env, capture_output=True, text=True,
                                timeout=60)
        assert result.stderr == "Finished: Service Successfully Installed\n"
    finally:
        hive.write_text(original)
        syslog.close()
    written = (units / "cvsmtpgw.service").read_text().replace(str(root), "")
    assert written == (root / "lib/systemd/system/cvsmtpgw.service").read_text()
    # An upgrade keeps the administrator's settings.
    assert (work / "control" / "conffiles").read_text() == "/etc/cvsmtpgw/hive.reg\n"
