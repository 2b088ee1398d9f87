"""The gateway killed at each step of a hand-off and of the recovery that follows (the crash points of its fault
seam): after a restart every acknowledged mail is in OUT exactly once and complete, nothing half-made is visible
to the fax server, and nothing is left behind."""

import collections
import shutil
import subprocess

from gateway_harness import TRACE, needs_seam, wait_until
from spool_files import spool_file
from test_crash_recovery import check_out, send

IDENT = 3  # a mail with an attachment: every kind of step


def steps(gw) -> list[str]:
    log = gw.root / "steps.txt"
    return log.read_text().split() if log.exists() else []


def settle(gw, env: dict | None = None) -> None:
    """Restarted without the rule: recovery hands off what was left; then a clean stop."""
    gw.env = env or {}
    gw.start(timeout=60)
    wait_until(lambda: not gw.files("*.zqx"), 30, lambda: f"spool files left: {gw.files('*.zqx')}")
    assert gw.stop() == 1 and not gw.stop_failed


def test_killed_at_every_step_of_a_hand_off(make_gateway):
    needs_seam()
    probe = make_gateway(debug_logs=False, env={"CVSMTPGW_STEP_LOG": "steps.txt"})
    assert send(probe.port, IDENT) == "ok"
    wait_until(lambda: not probe.files("*.zqx"), 10)
    probe.stop()
    seen = collections.Counter()  # (step, its occurrence number) for each step in order
    road = [(name, seen.update([name]) or seen[name]) for name in steps(probe)]
    assert {n for n, _ in road} >= {"spool-write", "spool-sync", "staged-create", "link", "data-sync",
                                    "envelope-rename", "directory-sync", "unlink"}, road
    for name, k in road:
        gw = make_gateway(debug_logs=False, env={"CVSMTPGW_FAULTS": f"crash:{k - 1}+1::{name}"})
        outcome = send(gw.port, IDENT)
        gw.proc.wait(10)  # the crash point was reached: killed
        assert gw.proc.returncode == -9, (name, k)
        settle(gw)
        check_out(gw, {IDENT: outcome})
        assert outcome in ("ok", "unknown"), (name, k, outcome)


def test_killed_at_every_step_of_recovery(make_gateway):
    needs_seam()
    # What a kill between two links leaves, and leftovers of every other kind.
    origin = make_gateway(debug_logs=False, env={"CVSMTPGW_FAULTS": "crash:1+1::link"})
    assert send(origin.port, IDENT) == "ok"
    origin.proc.wait(10)
    out = origin.out_dir
    (out / "~14~ENV").write_bytes(b"")  # a mail cut in its data
    (out / "14.zqx").write_bytes(TRACE + b"Subject: cut\r\n")
    (out / "~77~ATT3.pdf").write_bytes(b"orphan")  # staged file of no spool file
    (out / "15.zqx").write_bytes(spool_file(b"Received: x\r\n\r\nhanded off\r\n", ["TO:<1@fax.example.com>"], 1))
    (out / "Msgcnt.imp").write_bytes(b"work file")
    template = origin.root / "template"
    subprocess.run(["cp", "-a", str(out), str(template)], check=True)  # hard links kept

    def fresh(env: dict):
        gw = make_gateway(start=False, debug_logs=False, env=env)
        shutil.rmtree(gw.out_dir)
        subprocess.run(["cp", "-a", str(template), str(gw.out_dir)], check=True)
        return gw

    probe = fresh({})
    settle(probe, {"CVSMTPGW_STEP_LOG": "steps.txt"})
    check_out(probe, {IDENT: "ok"})
    count = steps(probe).count("recovery")
    assert count >= 6, steps(probe)
    for k in range(1, count + 1):
        gw = fresh({"CVSMTPGW_FAULTS": f"crash:{k - 1}+1::recovery"})
        try:
            gw.start()
        except RuntimeError:
            pass  # died in its recovery, before it listened
        gw.proc.wait(10)
        assert gw.proc.returncode == -9, k
        settle(gw)
        check_out(gw, {IDENT: "ok"})
