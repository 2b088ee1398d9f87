"""Bad surroundings: a spool directory that vanishes and comes back, a hive
made read-only, name servers that answer slowly or not at all. Each time the
gateway logs what happened, keeps serving what it can, refuses what it cannot
store (never a 250 for it), and loses no mail it acknowledged."""

import contextlib
import os
import re
import socket
import subprocess
import threading
import time

import pytest

from gateway_harness import LOOPBACK, wait_until
from outbound_support import message_file

FAX = "4711@fax.example.com"
REFUSED = (451, b"451 Requested action aborted: local error in processing\r\n")


def mail(subject: str) -> bytes:
    return f"From: a@example.com\r\nTo: {FAX}\r\nSubject: {subject}\r\n\r\nbody of {subject}\r\n".encode()


def transaction(gw, subject: str) -> tuple[int, bytes]:
    with gw.connect() as conn:
        conn.reply()
        for line in ("HELO c", "MAIL FROM:<a@example.com>", f"RCPT TO:<{FAX}>", "DATA"):
            assert conn.command(line)[0] in (250, 354), line
        return conn.command(mail(subject) + b".")


def subjects(gw) -> list[bytes]:
    return sorted(re.search(rb"SUBJECT: (.*)\r\n", e.read_bytes()).group(1) for e in gw.files("ENV*.tmp"))


def needs_root(what: str):
    if os.geteuid() != 0:
        pytest.skip(f"{what} needs root")


def test_spool_directory_that_vanishes_and_comes_back(make_gateway):
    if os.environ.get("CVSMTPGW_FAULT_SEAM") != "1":
        pytest.skip("this build takes no faults from its environment (CVSMTPGW_FAULT_INJECTION off)")
    gw = make_gateway(start=False)
    # The second hand-off fails once, so that its mail waits for the next try
    # while OUT is away.
    gw.env = {"CVSMTPGW_FAULTS": "rename:1+1::*/OUT/ENV*.tmp"}
    gw.start()
    assert transaction(gw, "first")[0] == 250
    wait_until(lambda: subjects(gw) == [b"first"], 10)
    time.sleep(0.3)
    baseline = gw.counts()
    assert transaction(gw, "before")[0] == 250
    gw.wait_log("Hand-off not completed, tried again")
    away = gw.root / "OUT.away"
    gw.out_dir.rename(away)
    try:
        # Nothing can be stored: refused, never acknowledged.
        assert transaction(gw, "while away") == REFUSED
        assert transaction(gw, "while away 2") == REFUSED
        wait_until(lambda: gw.text("debug.log").count("Hand-off not completed, tried again") >= 2, 10)
    finally:
        away.rename(gw.out_dir)
    # The acknowledged mail is handed off once OUT is back; new mails are taken again.
    wait_until(lambda: subjects(gw) == [b"before", b"first"], 20, lambda: f"{subjects(gw)}\n{gw.diagnostics()}")
    assert transaction(gw, "after")[0] == 250
    wait_until(lambda: subjects(gw) == [b"after", b"before", b"first"] and not gw.files("*.zqx"), 20)
    log = gw.text("debug.log")
    for text in ("QUE_AddMsg Error: File open: ", "SMTPIn- Error: mail not stored, refused: ",
                 "SMTPIn- Error: hand-off incomplete, submission withdrawn: "):
        assert text in log, text
    settled = lambda: all(now <= then for now, then in zip(gw.counts(), baseline))
    wait_until(settled, 15, lambda: f"(fds, threads) {gw.counts()} above {baseline}")


@contextlib.contextmanager
def read_only(directory):
    """`directory` made read-only by a read-only bind mount over it."""
    subprocess.run(["mount", "--bind", str(directory), str(directory)], check=True)
    try:
        subprocess.run(["mount", "-o", "remount,bind,ro", str(directory)], check=True)
        yield
    finally:
        subprocess.run(["umount", "--lazy", str(directory)], check=True)  # the gateway may hold a file there


def hive_number(gw, name: str) -> int:
    return int(re.search(rf'"{name}"=dword:([0-9a-f]+)', gw.hive_path.read_text()).group(1), 16)


def test_read_only_hive_keeps_the_gateway_serving(make_gateway):
    needs_root("a read-only bind mount")
    gw = make_gateway(start=False)
    etc = gw.root / "etc"
    etc.mkdir()
    gw.hive_path = etc / "hive.reg"  # in a directory of its own, which is made read-only
    gw.start()
    assert transaction(gw, "one")[0] == 250
    wait_until(lambda: hive_number(gw, "TmpIndex") == 1, 10)
    with read_only(etc):
        # Names come from the copy in memory; the failed writes are reported.
        for n in ("two", "three"):
            time.sleep(1.1)  # the hand-offs put the registry on disk at most once a second
            assert transaction(gw, n)[0] == 250
        wait_until(lambda: len(gw.files("ENV*.tmp")) == 3, 10)
        wait_until(lambda: "registry changes could not be written" in gw.text("stderr.txt"), 10)
        gw.wait_log("SMTPIn- Error: the registry could not be put on disk; its changes are kept")
        assert hive_number(gw, "TmpIndex") == 1
        # Stopped and started again while read-only: the counters on disk are
        # behind, so names come round again; none is ever written over.
        gw.stop()
        gw.start()
        for n in ("four", "five"):
            assert transaction(gw, n)[0] == 250
        wait_until(lambda: len(gw.files("ENV*.tmp")) == 5, 10)
        wait_until(lambda: gw.text("stderr.txt").count("kept and tried again") == 2, 10)
    time.sleep(1.1)  # the hand-offs put the registry on disk at most once a second
    assert transaction(gw, "six")[0] == 250
    wait_until(lambda: len(gw.files("ENV*.tmp")) == 6, 10)
    assert subjects(gw) == sorted([b"one", b"two", b"three", b"four", b"five", b"six"])
    gw.wait_log("SMTPIn- The registry is on disk again")
    wait_until(lambda: "registry changes written again" in gw.text("stderr.txt"), 10)
    wait_until(lambda: hive_number(gw, "OUTIndex") >= 6, 10)
    assert "Envelope name taken, drawing another" in gw.text("debug.log")
    # Read-only from the start, without the lock file a first start makes:
    # nobody can take the lock, and the gateway goes on without it.
    gw.stop()
    (etc / "hive.reg.lock").unlink()
    with read_only(etc):
        gw.start()
        assert transaction(gw, "seven")[0] == 250
        wait_until(lambda: len(gw.files("ENV*.tmp")) == 7, 10)
    wait_until(lambda: hive_number(gw, "TmpIndex") == 5, 10)  # drawn without the lock, written once it could be
    assert b"seven" in subjects(gw)


class FakeNameServer:
    """A name server on port 53 of a loopback address that takes each query
    and then either says nothing (`silent`) or sends an authoritative answer
    without records, one byte every two seconds."""

    def __init__(self, address: str, silent: bool):
        self.silent = silent
        self.listener = socket.create_server((address, 53))
        self.listener.settimeout(0.2)
        self.queries = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        while not self._stop.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            threading.Thread(target=self._answer, args=(conn,), daemon=True).start()

    def _answer(self, conn):
        with conn, contextlib.suppress(OSError):
            query = conn.recv(4096)
            self.queries += 1
            if self.silent:
                conn.recv(1)  # until the client gives up
                return
            message = query[2:4] + b"\x85\x80\x00\x01\x00\x00\x00\x00\x00\x00" + query[14:]
            for byte in len(message).to_bytes(2, "big") + message:
                conn.sendall(bytes([byte]))
                if self._stop.wait(2):
                    return

    def close(self):
        self._stop.set()
        self._thread.join(5)
        self.listener.close()


class Receiver:
    """An SMTP server on 127.0.0.1 that takes every mail."""

    def __init__(self):
        self.listener = socket.create_server((LOOPBACK, 0))
        self.port = self.listener.getsockname()[1]
        self.mails: list[bytes] = []
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        with contextlib.suppress(OSError):
            while True:
                conn, _ = self.listener.accept()
                with conn, conn.makefile("rb") as lines:
                    conn.sendall(b"220 receiver\r\n")
                    data = None
                    for line in lines:
                        if data is not None:
                            if line == b".\r\n":
                                self.mails.append(data)
                                data = None
                                conn.sendall(b"250 taken\r\n")
                            else:
                                data += line
                        elif line[:4].upper() == b"DATA":
                            data = b""
                            conn.sendall(b"354 go on\r\n")
                        elif line[:4].upper() == b"QUIT":
                            conn.sendall(b"221 bye\r\n")
                            break
                        else:
                            conn.sendall(b"250 ok\r\n")

    def close(self):
        self.listener.close()


def test_name_servers_that_answer_slowly_or_not_at_all(make_gateway):
    """Each query ends within its 30 seconds however the server behaves; the
    delivery then goes to the receiver domain's own address, as without MX
    records; the inbound side serves all the while."""
    needs_root("a name server on port 53")
    receiver = Receiver()
    servers, gateways = [], []
    try:
        for k, silent in enumerate((True, False)):
            servers.append(FakeNameServer(f"127.0.{40 + k}.53", silent))
            gw = make_gateway(values={"DNSName": f"127.0.{40 + k}.53", "SmtpTxPort": receiver.port}, start=False)
            (gw.in_dir / "fax.tmp").write_bytes(message_file("user@127.0.0.1", f"Fax {k}", ["A fax arrived."]))
            gateways.append(gw)
        start = time.monotonic()
        for gw in gateways:
            gw.start()
        time.sleep(3)
        for gw in gateways:  # the outbound thread waits for its name server; mails still come in
            assert gw.send("a@example.com", [FAX], mail("meanwhile")) == {}
            gw.wait_for_files("ENV*.tmp", timeout=5)
            assert (gw.in_dir / "fax.tmp").exists()
        for gw in gateways:
            wait_until(lambda: not (gw.in_dir / "fax.tmp").exists(), 45, gw.diagnostics)
        took = time.monotonic() - start
        assert 29 <= took < 42, took
        assert sorted(re.search(rb"SUBJECT: (Fax \d)", m).group(1) for m in receiver.mails) == [b"Fax 0", b"Fax 1"]
        assert [s.queries for s in servers] == [1, 1]
        silent, slow = (gw.text("debug.log") for gw in gateways)
        assert "DNS- Error: Lookup: Unable to receive from DNS ." in silent
        assert "DNS- Error: Lookup: response cut short" in slow
        for log in (silent, slow):
            assert "SMTPOut- No MX Rec: Using: 127.0.0.1" in log
    finally:
        for s in servers:
            s.close()
        receiver.close()
