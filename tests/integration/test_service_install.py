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


class Installer:
    """A private unit directory and hive (with a spool and a log directory)."""

    def __init__(self, root: Path, syslog):
        self.root, self.units, self.hive = root, root / "units", root / "etc" / "hive.reg"
        self.unit = self.units / "cvsmtpgw.service"
        self.units.mkdir()
        self.hive.parent.mkdir()
        self.values = {"ProgramPath": f"{root}/spool/", "logfile": f"{root}/log/debug.log"}
        write_hive(self.hive, self.values)
        self.syslog = syslog  # the conftest's, named in the environment
        self.env = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "INVOCATION_ID")}
        self.env.update(CVSMTPGW_HIVE=str(self.hive), CVSMTPGW_UNIT_DIR=str(self.units),
                        CVSMTPGW_SYSTEMD_RUN_DIR=str(root / "no-systemd"))

    def run(self, switch: str, binary: Path = BINARY) -> subprocess.CompletedProcess:
        return subprocess.run([str(binary), switch], env=self.env, capture_output=True, text=True, timeout=60)


@pytest.fixture
def installer(syslog):
    root = Path(tempfile.mkdtemp(prefix="cvgw-i-", dir="/tmp"))
    yield Installer(root, syslog)
    shutil.rmtree(root, ignore_errors=True)


def test_install_twice_remove_twice_without_systemd(installer):
    # A program and spool directory with a blank and a specifier sign: they must reach systemd unchanged.
    i = installer
    odd = i.root / "my gw %i $HOME"
    odd.mkdir()
    shutil.copy(BINARY, odd / "cvsmtpgw")
    i.values.update(ProgramPath=f"{odd}/")
    write_hive(i.hive, i.values)
    for switch, err, events in [("-i", INSTALLED, ["event 420: Corvane SMTP Server"]),
                                ("-i", "Error: Installation: Service Is already installed!! \n", []),
                                ("-u", REMOVED, ["event 421: Corvane SMTP Server"]),
                                ("-u", "Error: Failed to Locate Installed Service\n", [])]:
        before = i.unit.read_bytes() if i.unit.exists() else None
        result = i.run(switch, odd / "cvsmtpgw")
        # Exit status 0 only for what succeeded, so that a script can tell.
        rc = 0 if err in (INSTALLED, REMOVED) else 1
        assert (result.returncode, result.stdout, result.stderr, i.syslog.texts()) == (rc, "", err, events), switch
        if before is not None and switch == "-i":
            assert i.unit.read_bytes() == before  # a second installation changes nothing
        elif err == INSTALLED:
            quoted, d = str(odd).replace("%", "%%"), {}
            for name, _, value in (line.partition("=") for line in i.unit.read_text().splitlines() if "=" in line):
                d.setdefault(name, []).append(value)
            assert d["ExecStart"] == [f'"{quoted}/cvsmtpgw"']
            assert d["ReadWritePaths"] == [f'"-{quoted}"', f"-{i.root}/log", f"-{i.root}/etc"]
            # TMP in the spool directory: a private /tmp is emptied at every stop.
            assert d["Environment"] == [f"CVSMTPGW_HIVE={i.hive}", f'"TMP={quoted}/tmp"']
            assert stat.S_IMODE(i.unit.stat().st_mode) == 0o644
            verify = subprocess.run(["systemd-analyze", "verify", str(i.unit)], capture_output=True, text=True, timeout=60)
            assert verify.returncode == 0, verify.stderr
    assert os.listdir(i.units) == []
