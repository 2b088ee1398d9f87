"""`cvsmtpgw -i` and `-u` against a private unit directory (CVSMTPGW_UNIT_DIR): the unit file, the messages,
the events; systemd-analyze checks what was written; a fake `systemctl` on PATH plays a running systemd."""

import os
import shutil
import socket
import stat
import subprocess
import tempfile
from pathlib import Path

import pytest

from gateway_harness import REPO_ROOT, write_hive

BINARY = Path(os.environ.get("CVSMTPGW_BINARY") or REPO_ROOT / "build" / "cvsmtpgw")
INSTALLED = "Finished: Service Successfully Installed\n"
REMOVED = "Finished: Service Removed !!, Please Reboot To Finish\n"

FAKE_SYSTEMCTL = """#!/bin/sh
# Records each call; `is-active` answers with the word in $FAKE_STATE; the verb named in $FAKE_FAIL fails.
echo "$*" >> "$FAKE_LOG"
[ "$1" = "$FAKE_FAIL" ] && exit 1
if [ "$1" = is-active ]; then echo "$FAKE_STATE"; [ "$FAKE_STATE" = active ] && exit 0; exit 3; fi
exit 0
"""


class Installer:
    def __init__(self, root: Path, values: dict | None = None):
        self.root, self.units = root, root / "units"
        self.units.mkdir()
        self.unit = self.units / "cvsmtpgw.service"
        self.hive = root / "etc" / "hive.reg"
        self.hive.parent.mkdir()
        self.values = {"ProgramPath": f"{root}/spool/", "logfile": f"{root}/log/debug.log"}
        self.values.update(values or {})
        write_hive(self.hive, self.values)
        self.syslog = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.syslog.bind(str(root / "syslog"))
        self.syslog.settimeout(0.2)
        self.env = {k: v for k, v in os.environ.items() if k not in ("NOTIFY_SOCKET", "INVOCATION_ID")}
        self.env.update(CVSMTPGW_HIVE=str(self.hive), CVSMTPGW_UNIT_DIR=str(self.units),
                        CVSMTPGW_SYSTEMD_RUN_DIR=str(root / "no-systemd"), CVSMTPGW_SYSLOG_SOCKET=str(root / "syslog"))

    def with_systemd(self, state="inactive", fail=""):
        """A fake systemctl first on PATH, and the directory that says systemd runs."""
        bin_dir = self.root / "bin"
        if not bin_dir.exists():
            bin_dir.mkdir()
            (bin_dir / "systemctl").write_text(FAKE_SYSTEMCTL)
            (bin_dir / "systemctl").chmod(0o755)
            (self.root / "run-systemd").mkdir()
        self.env.update(PATH=f"{bin_dir}:{os.environ['PATH']}", CVSMTPGW_SYSTEMD_RUN_DIR=str(self.root / "run-systemd"),
                        FAKE_LOG=str(self.root / "systemctl.log"), FAKE_STATE=state, FAKE_FAIL=fail)
        return self

    def run(self, switch: str, binary: Path = BINARY) -> subprocess.CompletedProcess:
        return subprocess.run([str(binary), switch], env=self.env, capture_output=True, text=True, timeout=60)

    def calls(self) -> list[str]:
        log = self.root / "systemctl.log"
        calls = log.read_text().splitlines() if log.exists() else []
        log.unlink(missing_ok=True)
        return calls

    def events(self) -> list[str]:
        got = []
        try:
            while True:
                got.append(self.syslog.recv(4096).decode().split("]: ", 1)[1])
        except socket.timeout:
            return got

    def directives(self) -> dict[str, list[str]]:
        found: dict[str, list[str]] = {}
        for line in self.unit.read_text().splitlines():
            if "=" in line and not line.startswith("#"):
                name, value = line.split("=", 1)
                found.setdefault(name, []).append(value)
        return found


@pytest.fixture
def installer():
    base = Path(tempfile.mkdtemp(prefix="cvgw-i-", dir="/tmp"))  # socket paths must stay short
    made = []

    def factory(values=None):
        root = base / f"i{len(made)}"
        root.mkdir()
        made.append(Installer(root, values))
        return made[-1]

    yield factory
    for i in made:
        i.syslog.close()
        i.units.chmod(0o755)
    shutil.rmtree(base, ignore_errors=True)


def analyze(unit: Path) -> str:
    """What systemd itself says about the unit file ("" when it finds nothing wrong)."""
    result = subprocess.run(["systemd-analyze", "verify", str(unit)], capture_output=True, text=True, timeout=60)
    return "" if result.returncode == 0 else result.stderr


def test_install_twice_remove_twice_without_systemd(installer):
    i = installer()
    for switch, err, events in [("-i", INSTALLED, ["event 420: Corvane SMTP Server"]),
                                ("-i", "Error: Installation: Service Is already installed!! \n", []),
                                ("-u", REMOVED, ["event 421: Corvane SMTP Server"]),
                                ("-u", "Error: Failed to Locate Installed Service\n", [])]:
        before = i.unit.read_bytes() if i.unit.exists() else None
        result = i.run(switch)
        assert (result.returncode, result.stdout, result.stderr) == (1, "", err), switch
        assert i.events() == events, switch
        if switch == "-i" and before is not None:
            assert i.unit.read_bytes() == before  # a second installation changes nothing
        if err == INSTALLED:
            d = i.directives()
            assert d["Type"] == ["notify"] and d["Restart"] == ["on-failure"]
            assert d["ExecStart"] == [str(BINARY.resolve())]
            assert d["After"] == ["network-online.target"] and d["WantedBy"] == ["multi-user.target"]
            assert d["User"] == ["cvsmtpgw"] and d["Group"] == ["cvsmtpgw"]
            assert d["AmbientCapabilities"] == ["CAP_NET_BIND_SERVICE"] and d["NoNewPrivileges"] == ["yes"]
            assert d["ProtectSystem"] == ["strict"] and d["PrivateTmp"] == ["yes"]
            # Spool, debug log and hive directories, where the gateway writes.
            assert d["ReadWritePaths"] == [f"-{i.root}/spool", f"-{i.root}/log", f"-{i.root}/etc"]
            assert d["Environment"] == [f"CVSMTPGW_HIVE={i.hive}"]
            assert stat.S_IMODE(i.unit.stat().st_mode) == 0o644
    assert not i.unit.exists() and os.listdir(i.units) == []


def test_paths_are_quoted_for_systemd(installer):
    # A program directory with a blank, a specifier and a variable sign must reach systemd unchanged.
    i = installer()
    odd = i.root / "my gw %i $HOME"
    odd.mkdir()
    shutil.copy(BINARY, odd / "cvsmtpgw")
    i.values.update(ProgramPath=f"{odd}/", logfile=f"{odd}/debug.log")
    write_hive(i.hive, i.values)
    assert i.run("-i", odd / "cvsmtpgw").stderr == INSTALLED
    text = i.unit.read_text()
    quoted = str(odd).replace("%", "%%")
    assert f'ExecStart="{quoted}/cvsmtpgw"\n' in text and f'ReadWritePaths="-{quoted}"\n' in text
    assert analyze(i.unit) == ""


@pytest.mark.parametrize("problem", ["missing", "not a directory", "not writable"])
def test_unit_directory_problems(installer, problem):
    i = installer()
    if problem == "missing":
        i.env["CVSMTPGW_UNIT_DIR"] = str(i.root / "none")
        expected = "Error: Failed to Open NT Service Manager\ncvsmtpgw: the unit directory"
    elif problem == "not a directory":
        (i.root / "file").write_text("x")
        i.env["CVSMTPGW_UNIT_DIR"] = str(i.root / "file")
        expected = "Error: Failed to Open NT Service Manager\ncvsmtpgw: the unit directory"
    else:
        # root writes into a directory of any mode; /proc takes no new file even from root.
        i.env["CVSMTPGW_UNIT_DIR"] = "/proc" if os.geteuid() == 0 else str(i.units)
        i.units.chmod(0o555)
        expected = "Error: Failed to Install NT Service\ncvsmtpgw: cannot write "
    result = i.run("-i")
    assert result.returncode == 1 and result.stderr.startswith(expected), result.stderr
    assert result.stderr.count("\n") == 2  # the message and its reason, nothing else
    assert i.events() == []
    i.units.chmod(0o755)
    assert os.listdir(i.units) == []


def test_with_systemd_install_enables_and_remove_asks_whether_it_runs(installer):
    i = installer().with_systemd()
    assert i.run("-i").stderr == INSTALLED
    assert i.calls() == ["daemon-reload", "enable cvsmtpgw.service"]
    for state in ["active", "activating", "deactivating"]:
        i.env["FAKE_STATE"] = state
        assert i.run("-u").stderr == "Error: Service is RUNNING.First STOP it to uninstall the SERVICE!!\n", state
        assert i.calls() == ["is-active cvsmtpgw.service"] and i.unit.exists()
    i.env["FAKE_STATE"] = "something new"
    assert i.run("-u").stderr.startswith("Error: Failed to QUERRY the Installed Service\n")
    assert i.unit.exists() and i.calls() == ["is-active cvsmtpgw.service"]
    assert i.events() == ["event 420: Corvane SMTP Server"]
    i.env["FAKE_STATE"] = "failed"  # a unit that ended with an error is stopped
    assert i.run("-u").stderr == REMOVED
    assert i.calls() == ["is-active cvsmtpgw.service", "disable cvsmtpgw.service", "daemon-reload"]
    assert not i.unit.exists() and i.events() == ["event 421: Corvane SMTP Server"]


@pytest.mark.parametrize("verb", ["enable", "disable"])
def test_with_systemd_a_failing_systemctl_is_reported(installer, verb):
    i = installer().with_systemd(fail=verb)
    result = i.run("-i")
    if verb == "enable":
        # Installing is one step: a unit that would not start at boot is taken back.
        assert result.stderr == ("Error: Failed to Install NT Service\n"
                                 "cvsmtpgw: systemctl enable cvsmtpgw.service: failed (exit status 1)\n")
        assert not i.unit.exists() and i.events() == []
        assert i.calls() == ["daemon-reload", "enable cvsmtpgw.service", "daemon-reload"]
        return
    assert result.stderr == INSTALLED
    i.calls()
    result = i.run("-u")
    assert result.stderr == ("Warning: Failed To Remove Service\n"
                             "cvsmtpgw: systemctl disable cvsmtpgw.service: failed (exit status 1)\n")
    assert i.unit.exists()
    assert i.events() == ["event 420: Corvane SMTP Server", "event 422: Corvane SMTP Server"]
