"""Power cuts: the test build records what each file operation has made durable and, at a chosen sync point,
undoes everything else in OUT and TMP and kills the gateway. After the restart every mail answered 250 is in OUT
exactly once and complete; split mails' fragments, on a file system of their own, survive too."""

import email
import email.policy
import os
import subprocess
import time
from email.message import EmailMessage

import pytest

from gateway_harness import needs_root, needs_seam, wait_until
from test_crash_points import settle
from test_crash_recovery import Clients, check_out, mail_text, send


def armed(make_gateway, rules: str, env: dict | None = None, gw=None):
    """A gateway started with the fault `rules`, power cuts undoing what is not durable in OUT and TMP."""
    needs_seam()
    gw = gw or make_gateway(start=False, debug_logs=False)
    os.sync()  # what is there at the start is durable
    gw.env = {"CVSMTPGW_FAULTS": rules, "CVSMTPGW_POWER_CUT_DIRS": f"{gw.out_dir}:{gw.tmp_dir}", **(env or {})}
    return gw.start()


def cut_and_recover(make_gateway, rules: str, env: dict | None = None) -> None:
    gw = armed(make_gateway, rules, env)
    clients = Clients(lambda: gw.port, 5)
    gw.proc.wait(30)  # the cut came
    assert gw.proc.returncode == -9
    gw.env = {}
    gw.start(timeout=60)
    time.sleep(0.3)  # the clients go on with the restarted gateway
    outcome = clients.stop()
    assert sum(s == "ok" for s in outcome.values()) >= 2, outcome
    wait_until(lambda: not gw.files("*.zqx"), 30, lambda: f"spool files left: {gw.files('*.zqx')}")
    assert gw.stop() == 1 and not gw.stop_failed
    check_out(gw, outcome)


# At each kind of sync point, early and later; and after a failed sync, with syncfs and file by file (as on
# kernels before 5.17).
AFTER_FAILED_SYNC = "sync:3+1::*/OUT;power:9+1::spool-sync"


@pytest.mark.parametrize("rules, env", [(f"power:{k - 1}+1::{point}", {}) for point in
                                        ("spool-sync", "data-sync", "directory-sync") for k in (2, 6)] +
                         [(AFTER_FAILED_SYNC, {}), (AFTER_FAILED_SYNC, {"CVSMTPGW_SYNC_FILE_BY_FILE": "1"})])
def test_cut_with_mails_in_flight(make_gateway, rules, env):
    cut_and_recover(make_gateway, rules, env)


def test_a_write_error_reported_to_another_sync_fails_the_hand_off_it_hit(make_gateway):
    """The kernel reports a write-back error once, to whichever sync asks next. Here mail 3's submission waits for
    the disk (its batch held open) when the next mail's spool sync fails: its pages are what was lost. Its own sync
    then comes back clean, and must still not count: the hand-off is tried again; after a cut its attachment is whole."""
    # Syncs of OUT: mail 3's (its file, then the directory), then the next mail's, which fails;
    # the cut comes at the third mail's spool sync, after mail 3 was handed off.
    gw = armed(make_gateway, "sync:2+1::*/OUT;power:2+1::spool-sync", {"CVSMTPGW_BATCH_WAIT_MS": "400"})
    assert send(gw.port, 3) == "ok"
    assert send(gw.port, 4) == "refused"
    wait_until(lambda: gw.files("ENV*.tmp") and not gw.files("*.zqx"), 15)
    assert send(gw.port, 5) == "unknown"
    gw.proc.wait(10)
    settle(gw)
    check_out(gw, {3: "ok", 4: "refused", 5: "unknown"})


# Syncs of OUT: mail 2's (fails), the removal of its spool file (the directory's, twice checked), mail 1's (its file,
# then the directory), then the removal of mail 1's spool file, tried three times.
@pytest.mark.parametrize("faults, reply, outcome", [
    ("sync:1::*/OUT", 451, "refused"),
    ("sync:1::*/OUT;sync:4+3::*/OUT", -1, "unknown"),  # its removal never reaches the disk: no reply
])
def test_a_mail_refused_for_an_error_reported_meanwhile_stays_refused_after_a_cut(make_gateway, faults, reply,
                                                                                    outcome):
    """Mail 1 is being received when mail 2's sync fails. Mail 1's own sync then puts its whole spool file on disk,
    but cannot vouch for it (the error may have been its pages), so it is refused. The removal of its spool file must
    be on disk before that refusal is sent: a cut that brought the file back would hand off a mail sent again."""
    gw = armed(make_gateway, f"{faults};power:2+1::spool-sync")  # the cut comes at mail 3's spool sync
    with gw.connect() as first:
        # All but the end of the data: its file exists, its bytes wait in the gateway.
        first.open_data(["1@fax.example.com"]).sock.sendall(mail_text(1))
        wait_until(lambda: gw.files("*.zqx"), 10)
        assert send(gw.port, 2) == "refused"
        first.sock.sendall(b".\r\n")
        assert first.reply()[0] == reply
    assert send(gw.port, 3) == "unknown"
    gw.proc.wait(10)
    settle(gw)
    check_out(gw, {1: outcome, 2: "refused", 3: "unknown"})
    # Without a reply, the file the cut brought back is a mail its client may still send again.
    assert len(gw.files("ENV*.tmp")) == (1 if reply == -1 else 0)


def test_fragments_on_their_own_file_system_survive_a_cut(make_gateway):
    needs_root("mounting a file system for TMP")
    msg = EmailMessage(policy=email.policy.SMTP)
    msg["From"], msg["To"], msg["Subject"] = "a@example.org", "4711@fax.example.com", "in two pieces"
    msg.set_content("Please fax.\n")
    msg.add_attachment(bytes(range(256)) * 64, maintype="application", subtype="pdf", filename="r.pdf")
    lines = msg.as_bytes().splitlines(keepends=True)
    half = len(lines) // 2
    fragments = [(f"From: a@example.org\r\nTo: 4711@fax.example.com\r\nSubject: piece {n}\r\nMIME-Version: 1.0\r\n"
                  f"Content-Type: message/partial; id=\"two@example.org\"; number={n}; total=2\r\n\r\n").encode()
                 + b"".join(lines[:half] if n == 1 else lines[half:]) for n in (1, 2)]
    gw = make_gateway(start=False, debug_logs=False)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", str(gw.tmp_dir)], check=True)
    try:
        # Cut at the first sync after the first fragment's mail was handed off.
        armed(make_gateway, "power:1+1::spool-sync", gw=gw)
        assert gw.send("a@example.org", ["4711@fax.example.com"], fragments[0]) == {}
        wait_until(lambda: gw.files("ENV*.tmp") and not gw.files("*.zqx"), 10)
        assert send(gw.port, 9) == "unknown"  # the gateway dies in this mail's sync: no reply
        gw.proc.wait(10)
        gw.env = {}
        gw.start()
        assert gw.send("a@example.org", ["4711@fax.example.com"], fragments[1]) == {}
        wait_until(lambda: len(gw.files("ENV*.tmp")) == 2 and not gw.files("*.zqx"), 10)
        joined = gw.files("ENV*.tmp")[-1].read_bytes()
        assert b"<<r.pdf:ATT0.pdf>>" in joined, joined
        assert (gw.out_dir / "ATT0.pdf").read_bytes() == bytes(range(256)) * 64
    finally:
        gw.stop()
        subprocess.run(["umount", str(gw.tmp_dir)], check=False)
