"""A full spool disk: a mail that cannot be stored gets 451; a hand-off that runs out of space is withdrawn and
tried again once space returns."""

import base64
import os
import subprocess

import pytest

from gateway_harness import FAX, REFUSED, needs_root, wait_until


def mail(tag: str, size: int) -> bytes:
    data = base64.encodebytes(os.urandom(size)).replace(b"\n", b"\r\n")
    return (f"From: a@example.com\r\nTo: {FAX}\r\nSubject: {tag}\r\nMIME-Version: 1.0\r\n"
            "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: text/plain\r\n\r\n"
            f"{tag}\r\n--b\r\nContent-Type: application/pdf; name=\"{tag}.pdf\"\r\n"
            "Content-Transfer-Encoding: base64\r\n\r\n").encode() + data + b"--b--\r\n"


@pytest.fixture
def small_spool(make_gateway):
    needs_root("mounting a small tmpfs for OUT")
    made = []

    def make():
        gw = make_gateway()
        gw.stop()
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=2m", "tmpfs", str(gw.out_dir)], check=True)
        made.append(gw)
        return gw.start()
    yield make
    for gw in made:
        gw.stop()
        subprocess.run(["umount", str(gw.out_dir)], check=False)


def test_full_disk_refuses_new_mail_and_hands_off_what_waited_once_space_returns(small_spool):
    gw = small_spool()
    ballast = gw.out_dir / "ballast"
    ballast.write_bytes(b"\0" * (1700 * 1024))  # about 340 KB left
    # Stored and acknowledged, but its submission does not fit beside it.
    assert gw.send("a@example.com", [FAX], mail("waited", 180 * 1024)) == {}
    gw.wait_log("Hand-off not completed, tried again")
    assert not gw.files("ENV*.tmp") and gw.files("*.zqx")
    # No room for another spool file: refused, nothing kept.
    assert gw.transaction(mail("refused", 600 * 1024)) == REFUSED
    assert len(gw.files("*.zqx")) == 1 and not gw.files("ENV*.tmp")
    ballast.unlink()
    (env,) = gw.wait_for_files("ENV*.tmp", timeout=30)  # tried again after a few seconds
    assert b"SUBJECT: waited" in env.read_bytes()
    assert gw.send("a@example.com", [FAX], mail("after", 10 * 1024)) == {}
    wait_until(lambda: len(gw.files("ENV*.tmp")) == 2 and not gw.files("*.zqx"), 30)
    assert gw.subjects() == [b"after", b"waited"]
    assert not [p for p in gw.out_dir.iterdir() if p.name.startswith(("~", "Msgcnt"))]
