"""The gateway killed at random moments while several clients send, and finally stopped with q under load: every
mail answered 250 ends up in OUT exactly once as a complete submission, and no spool file is left."""

import base64
import contextlib
import itertools
import random
import re
import threading
import time

from gateway_harness import SmtpConnection, wait_until

PDF = b"%PDF-1.4\n" + bytes(range(256)) * 8


def mail_text(ident: int) -> bytes:
    head = f"From: load@example.com\r\nTo: <{ident}@fax.example.com>\r\nSubject: id-{ident}\r\n".encode()
    if ident % 3:
        return head + b"\r\n" + b"line of the body\r\n" * (ident % 40)
    return (head + b"MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
            b"Content-Type: text/plain\r\n\r\nsee attachment\r\n--b\r\nContent-Type: application/pdf; name=\"r.pdf\"\r\n"
            b"Content-Transfer-Encoding: base64\r\n\r\n" + base64.encodebytes(PDF).replace(b"\n", b"\r\n") +
            b"--b--\r\n")


def send(port: int, ident: int) -> str:
    """What became of one mail: 'ok' (250), 'refused' (another reply), 'unknown' (the connection ended after the
    end of the data was sent), 'unsent'."""
    state = "unsent"
    with contextlib.suppress(OSError, AssertionError, ValueError), SmtpConnection(port, 20) as conn:
        conn.open_data([f"{ident}@fax.example.com"]).sock.sendall(mail_text(ident) + b".\r\n")
        state = "unknown"
        code = conn.reply()[0]
        state = "ok" if code == 250 else "refused" if code != -1 else "unknown"
        conn.sock.sendall(b"QUIT\r\n")
    return state


class Clients:
    """Sends mails with distinct ids on several connections until stopped; keeps what became of each (send)."""

    def __init__(self, port_of, count: int):
        self.port_of, self.outcome, self.ids, self.stopping = port_of, {}, itertools.count(1), threading.Event()
        self.threads = [threading.Thread(target=self.run, daemon=True) for _ in range(count)]
        [t.start() for t in self.threads]

    def run(self):
        while not self.stopping.is_set():
            ident = next(self.ids)  # next() of a count is atomic under the GIL
            if (state := send(self.port_of(), ident)) == "unsent":
                time.sleep(0.02)  # the gateway is down or going: try again with the next mail
            self.outcome[ident] = state

    def stop(self):
        self.stopping.set()
        [t.join(60) for t in self.threads]
        return dict(self.outcome)


def check_out(gw, outcome: dict) -> None:
    """Exactly once per acknowledged mail, complete; nothing else in OUT."""
    seen: dict[int, int] = {}
    names = {p.name for p in gw.out_dir.iterdir()}
    expected = set()
    for env in gw.out_dir.glob("ENV*.tmp"):
        text = env.read_bytes()
        subject = re.search(rb"SUBJECT: id-(\d+)\r\n", text)
        assert subject, (env.name, text)  # a visible job is whole
        ident = int(subject.group(1))
        seen[ident] = seen.get(ident, 0) + 1
        assert f'TO: "{ident}" <{ident}@fax.example.com>\r\n'.encode() in text, text
        body = re.search(rb"<<(ENV\d+\.bdy)>>", text).group(1).decode()
        expected |= {env.name, body}
        for original, saved in re.findall(rb"<<([^:>]*):(ATT[^>]*)>>", text):
            assert original == b"r.pdf" and (gw.out_dir / saved.decode()).read_bytes() == PDF
            expected.add(saved.decode())
        assert bool(re.search(rb"<<r.pdf:", text)) == (ident % 3 == 0), text
    assert names == expected, sorted(names ^ expected)
    for ident, state in outcome.items():
        count = seen.get(ident, 0)
        assert count == 1 if state == "ok" else count <= 1 if state == "unknown" else count == 0, (ident, state, count)
    assert not set(seen) - set(outcome)


def test_killed_at_random_moments_loses_nothing_acknowledged(make_gateway):
    gw = make_gateway(debug_logs=False)
    clients = Clients(lambda: gw.port, 5)
    rnd = random.Random(1717)
    for _ in range(12):
        time.sleep(rnd.uniform(0.1, 0.8))
        gw.kill()
        gw.start(timeout=60)  # recovery runs before it listens again
    time.sleep(0.5)
    outcome = clients.stop()
    assert sum(s == "ok" for s in outcome.values()) > 50
    wait_until(lambda: not gw.files("*.zqx"), 30, lambda: f"{len(gw.files('*.zqx'))} spool files left")
    assert gw.stop() == 1 and not gw.stop_failed
    check_out(gw, outcome)


def test_stop_under_load_leaves_every_acknowledged_mail_safe(make_gateway):
    gw = make_gateway(debug_logs=False)
    clients = Clients(lambda: gw.port, 8)
    wait_until(lambda: len(gw.files("ENV*.tmp")) >= 40, 30)
    assert gw.stop(timeout=60) == 1 and not gw.stop_failed
    outcome = clients.stop()
    # What the stop could not hand off waits in OUT for the next start.
    gw.start(timeout=60)
    assert gw.stop() == 1
    assert not gw.files("*.zqx")
    check_out(gw, outcome)
