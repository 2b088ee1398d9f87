"""The Windows build under wine for the integration tests: the prefix ($WINEPREFIX, made by
scripts/wine-prefix.sh), wine commands whose output goes through files (wine's background processes keep
inherited pipes open), its registry, and WineGateway: the Gateway of gateway_harness running cvsmtpgw.exe."""

from __future__ import annotations

import contextlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # gateway_harness and the POSIX tests
sys.path.insert(0, str(Path(__file__).resolve().parents[3] / "scripts"))  # wine_api_errors

from gateway_harness import GATEWAY_KEY, Gateway  # noqa: E402
from wine_api_errors import api_errors  # noqa: E402

WINE = shutil.which("wine64") or "/usr/lib/wine/wine64"
WINESERVER = shutil.which("wineserver") or "/usr/lib/wine/wineserver"
IN_ROOT = Path(WINE).parent.name == ".host-bin"  # the wine of a root made by scripts/wine-root.sh
SERVICE_KEY = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Corvane SMTP Server"
EVENT_SOURCE_KEY = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\EventLog\Application\Corvane SMTP Server"


def windows_path(path: Path | str) -> str:
    """The Windows name of a Linux path: wine's drive Z: is the root."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def prefix() -> Path:
    value = os.environ.get("WINEPREFIX")
    if not value:
        raise RuntimeError("WINEPREFIX is not set: run the Windows tests through ctest in the Windows build")
    return Path(value)


def wine_env(**extra: str) -> dict:
    env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}  # no desktop: message boxes return at once
    env.setdefault("WINEDEBUG", "err+all")
    env.update(extra)
    return env


def run(*args: str, timeout: float = 120, env: dict | None = None, cwd: Path | None = None,
        check: bool = True) -> subprocess.CompletedProcess:
    """`wine args...` to its end; stdout and stderr come back through files. A process that wine itself could
    not set up (its shared user data not mapped, seen now and then on a loaded machine) is started once more."""
    for attempt in range(2):
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run([WINE, *args], stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                  timeout=timeout, env=env or wine_env(), cwd=cwd)
            out.seek(0)
            err.seek(0)
            result = subprocess.CompletedProcess(proc.args, proc.returncode, out.read().decode("latin-1"),
                                                 err.read().decode("latin-1"))
        if attempt == 0 and "failed to map the shared user data" in result.stderr:
            continue
        break
    if check and result.returncode != 0:
        raise RuntimeError(f"{args} failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
    # A program of ours that met a wine error in a function it relies on has not worked as on Windows.
    program = Path(args[0])
    if program.suffix == ".exe" and program.is_file():
        errors = api_errors(program, result.stderr)
        assert not errors, f"wine errors in functions {program.name} relies on:\n" + "\n".join(errors)
    return result


def wine_version() -> tuple[int, ...]:
    """The version of the wine that runs the tests, as numbers: (10, 0) for "wine-10.0 (Debian ...)"."""
    text = subprocess.run([WINE, "--version"], capture_output=True, text=True, timeout=60, check=True).stdout
    return tuple(int(n) for n in re.match(r"wine-([0-9.]+)", text.strip()).group(1).rstrip(".").split("."))


def own_lines(text: str) -> list[str]:
    """The lines a program wrote, without wine's debug lines (WINEDEBUG) between them."""
    return [line for line in text.splitlines() if not re.match(r"[0-9a-f]{4}:(err|fixme|warn|trace):", line)]


def wineserver(*args: str) -> None:
    subprocess.run([WINESERVER, *args], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, env=wine_env(), check=False, timeout=60)


def restart_server() -> None:  # a server started anew: in this mount namespace, holding nothing of dead processes
    wineserver("-k")
    keep_server()


def keep_server() -> None:  # the service manager and the registry live on between the wine commands of a test
    wineserver("-p60")


def reg_replace(key: str, path: Path) -> None:
    """`key` deleted, then what the .reg file at `path` holds imported."""
    run("reg", "delete", key, "/f", check=False)
    run("reg", "import", windows_path(path))


def reg_query(key: str) -> dict[str, tuple[str, str]]:
    """The values of `key` as `reg query` lists them: name -> (type, data); {} when missing."""
    result = run("reg", "query", key, check=False)
    values = {}
    for line in result.stdout.splitlines():
        parts = line.strip().split(None, 2) if line.startswith("    ") else []
        if len(parts) >= 2 and parts[1].startswith("REG_"):
            values[parts[0]] = (parts[1], parts[2] if len(parts) > 2 else "")
    return values


def binary(name: str = "cvsmtpgw.exe") -> Path:
    build = Path(os.environ.get("CVSMTPGW_BUILD", ""))
    return build / ("tests/" + name if name == "test_helper.exe" else name)


def processes_of(binary: Path, tmp: Path) -> list[int]:
    """The processes that run `binary` (its Windows path first on their command line) with TMP set to `tmp`."""
    command, environment = windows_path(binary).encode(), f"TMP={windows_path(tmp)}".encode()
    found = []
    for cmdline in Path("/proc").glob("[0-9]*/cmdline"):
        with contextlib.suppress(OSError):
            if cmdline.read_bytes().startswith(command) and environment in (cmdline.parent / "environ").read_bytes().split(b"\0"):
                found.append(int(cmdline.parent.name))
    return found


class WineGateway(Gateway):
    """cvsmtpgw.exe -m under wine, Gateway's settings (paths as Windows names) imported into wine's registry."""

    def __init__(self, values: dict | None = None, debug_logs: bool = True, env: dict | None = None):
        super().__init__(values=values, binary=binary(), debug_logs=debug_logs, env=env)
        self.values["ProgramPath"] = windows_path(self.root) + "\\"
        if debug_logs:
            self.values.update(logfile=windows_path(self.root / "debug.log"),
                               logfileb=windows_path(self.root / "debug2.log"))
        self.values.update(values or {})

    start_timeout = stop_timeout = 30.0

    def write_settings(self) -> None:
        super().write_settings()
        reg_replace(GATEWAY_KEY, self.hive_path)

    def start(self, timeout: float | None = None) -> "Gateway":
        # A root's wineserver (it makes the hand-off's hard links) lives in the mount namespace of the wine
        # command that started it: one started before a disk was mounted on OUT does not see that disk.
        if IN_ROOT and os.path.ismount(self.out_dir):
            restart_server()
        return super().start(timeout)

    # Run by cmd /c, the exit status is the one wine's server recorded for the gateway (GetExitCodeProcess).
    # Wine 10's own status of a process that ends while many of its threads end came out as 0 in some 1 in 15
    # stops under load, whatever the process ended with (TerminateProcess with 1 included); through cmd, never.
    through_cmd = False

    def command(self) -> list[str]:
        return [WINE, "cmd", "/c", windows_path(self.binary), "-m"] if self.through_cmd else [WINE, str(self.binary), "-m"]

    environment = lambda self: wine_env(TMP=windows_path(self.tmp_dir), **self.env)

    def kill(self) -> None:
        # Wine starts cmd's child apart from cmd, not as its child process: the gateway is found by its command
        # line and its TMP, which is its own.
        if self.through_cmd and self.alive:
            pids = processes_of(self.binary, self.tmp_dir)
            assert pids, f"the gateway of {self.root} run through cmd was not found"
            for pid in pids:
                os.kill(pid, signal.SIGKILL)
        super().kill()

    def wait_port_free(self, timeout: float = 60.0) -> None:
        # Once in some 60 kills wine 10's server still held the killed gateway's listening socket a minute later;
        # a server started anew holds nothing of a dead process (the registry is saved as it ends).
        try:
            super().wait_port_free(15)
        except TimeoutError:
            restart_server()
            super().wait_port_free(timeout)

    def problems(self) -> list[str]:  # and wine's errors in functions the gateway relies on
        errors = api_errors(self.binary, self.text("stderr.txt"))
        return super().problems() + [f"gateway {self.root}: wine errors in functions it relies on:\n" +
                                     "\n".join(errors)] * bool(errors)
