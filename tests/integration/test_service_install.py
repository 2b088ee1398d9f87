"""`cvsmtpgw -i` and `-u` against a private unit directory (CVSMTPGW_UNIT_DIR) without a running systemd: the
unit file, the messages, the events; systemd-analyze checks what was written."""

import os
import shutil
import stat
import subprocess
import tempfile
from pathlib import Path

import pytest

from gateway_harness import REPO_ROOT, write_hive

BINARY = Path(os.environ.get("CVSMTPGW_BINARY") or REPO_ROOT / "build" / "cvsmtpgw")
INSTALLED = "Finished: Service Successfully Installed\n"
REMOVED = "Finished: Service Removed !!, Please Reboot To Finish\n"


@pytest.fixture
def root():
    root = Path(tempfile.mkdtemp(prefix="cvgw-i-", dir="/tmp"))  # a short ProgramPath
    yield root
    shutil.rmtree(root, ignore_errors=True)


def test_install_twice_remove_twice_without_systemd(root, syslog):
    # A program and spool directory with a blank and a specifier sign: they must reach systemd unchanged.
    odd, units, hive = root / "my gw %i $HOME", root / "units", root / "etc" / "hive.reg"
    unit = units / "cvsmtpgw.service"
    [d.mkdir() for d in (odd, units, hive.parent)]
    shutil.copy(BINARY, odd / "cvsmtpgw")
    write_hive(hive, {"ProgramPath": f"{odd}/", "logfile": f"{root}/log/debug.log"})
    env = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "INVOCATION_ID")}
    env.update(CVSMTPGW_HIVE=str(hive), CVSMTPGW_UNIT_DIR=str(units),
               CVSMTPGW_SYSTEMD_RUN_DIR=str(root / "no-systemd"))
    for switch, err, events in [("-i", INSTALLED, ["event 420: Corvane SMTP Server"]),
                                ("-i", "Error: Installation: Service Is already installed!! \n", []),
                                ("-u", REMOVED, ["event 421: Corvane SMTP Server"]),
                                ("-u", "Error: Failed to Locate Installed Service\n", [])]:
        before = unit.read_bytes() if unit.exists() else None
        result = subprocess.run([str(odd / "cvsmtpgw"), switch], env=env, capture_output=True, text=True, timeout=60)
        # Exit status 0 only for what succeeded, so that a script can tell.
        rc = 0 if err in (INSTALLED, REMOVED) else 1
        assert (result.returncode, result.stdout, result.stderr, syslog.texts()) == (rc, "", err, events), switch
        if before is not None and switch == "-i":
            assert unit.read_bytes() == before  # a second installation changes nothing
        elif err == INSTALLED:
            quoted, d = str(odd).replace("%", "%%"), {}
            for name, _, value in (line.partition("=") for line in unit.read_text().splitlines() if "=" in line):
                d.setdefault(name, []).append(value)
            assert d["ExecStart"] == [f'"{quoted}/cvsmtpgw"']
            assert d["ReadWritePaths"] == [f'"-{quoted}"', f"-{root}/log", f"-{root}/etc"]
            # TMP in the spool directory: a private /tmp is emptied at every stop.
            assert d["Environment"] == [f"CVSMTPGW_HIVE={hive}", f'"TMP={quoted}/tmp"']
            assert stat.S_IMODE(unit.stat().st_mode) == 0o644
            verify = subprocess.run(["systemd-analyze", "verify", unit], capture_output=True, text=True, timeout=60)
            assert verify.returncode == 0, verify.stderr
    assert os.listdir(units) == []
