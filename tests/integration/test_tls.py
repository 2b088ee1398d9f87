"""STARTTLS both ways with real peers and certificates the test makes (openssl req). Inbound:
Python's smtplib, swaks and openssl s_client; plaintext pipelined after STARTTLS never runs;
RequireTls; clients that stall, send garbage or cut the handshake; a key that cannot be read stops
the start. Outbound: aiosmtpd with STARTTLS, OutboundTls 1 against a receiver without it, and
OutboundTls 2 against a certificate of the wrong name. The receiver domain is an address literal:
no name server, no root."""

from __future__ import annotations

import re
import socket
import ssl
import subprocess
import time
from pathlib import Path

import pytest

from gateway_harness import FAX, LOOPBACK, SmtpConnection, free_port, needs_seam, wait_until
from outbound_support import ScriptedReceiver, drop_message, message_file

HANDSHAKE_MS = 1500  # the test build's handshake limit (CVSMTPGW_TLS_HANDSHAKE_MS)


def make_certificate(directory: Path, name: str, san: str, ca: tuple[Path, Path] | None = None) -> tuple[Path, Path]:
    """A P-256 certificate for `san` (self-signed, or signed by `ca`) and its key, as PEM files."""
    cert, key = directory / f"{name}.pem", directory / f"{name}.key"
    subject = ["-subj", f"/CN={name}", "-addext", f"subjectAltName={san}"]
    if ca is None:
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                        "-keyout", key, "-out", cert, "-days", "2", *subject], check=True, capture_output=True)
    else:
        csr = directory / f"{name}.csr"
        subprocess.run(["openssl", "req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                        "-keyout", key, "-out", csr, *subject], check=True, capture_output=True)
        subprocess.run(["openssl", "x509", "-req", "-in", csr, "-CA", ca[0], "-CAkey", ca[1], "-CAcreateserial",
                        "-days", "2", "-copy_extensions", "copy", "-out", cert], check=True, capture_output=True)
    return cert, key


@pytest.fixture(scope="module")
def certificates(tmp_path_factory):
    directory = tmp_path_factory.mktemp("tls")
    ca = make_certificate(directory, "Test CA", "DNS:ca.test")
    return {"server": make_certificate(directory, "localhost", "DNS:localhost,IP:127.0.0.1"), "ca": ca,
            "right": make_certificate(directory, "right", "IP:127.0.0.1", ca),
            "wrong": make_certificate(directory, "wrong", "DNS:wrong.example", ca)}


def client_context() -> ssl.SSLContext:
    context = ssl.create_default_context()
    context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
    return context


@pytest.fixture
def tls_gateway(make_gateway, certificates):
    def start(**values):
        cert, key = certificates["server"]
        return make_gateway(values={"TlsCertificateFile": str(cert), "TlsKeyFile": str(key), **values},
                            env={"CVSMTPGW_TLS_HANDSHAKE_MS": str(HANDSHAKE_MS)})
    return start


def test_real_clients_send_over_starttls(tls_gateway):
    gw = tls_gateway()
    with gw.smtp() as client:
        code, features = client.ehlo()
        assert code == 250 and features.split(b"\n") == [b"fax.example.com", b"SIZE 26214400", b"8BITMIME", b"STARTTLS"]
        assert client.starttls(context=client_context())[0] == 220
        assert client.sock.version() in ("TLSv1.2", "TLSv1.3")
        # Over TLS the session starts again: EHLO first, and no second STARTTLS offered or taken.
        assert client.mail("a@example.com")[0] == 503
        assert client.ehlo()[1].split(b"\n")[-1] == b"8BITMIME"
        assert client.docmd("STARTTLS") == (503, b"Bad sequence of commands")
        assert client.sendmail("a@example.com", [FAX], b"From: a@example.com\r\nTo: " + FAX.encode() + b"\r\nSubject: smtplib over TLS\r\n\r\nbody\r\n") == {}
    swaks = subprocess.run(["swaks", "--server", f"{LOOPBACK}:{gw.port}", "--tls", "--from", "b@example.com",
                            "--to", FAX, "--header", "Subject: swaks over TLS", "--timeout", "20"],
                           capture_output=True, text=True, timeout=60)
    assert swaks.returncode == 0 and "TLS started" in swaks.stdout, swaks.stdout + swaks.stderr
    s_client = subprocess.run(["openssl", "s_client", "-starttls", "smtp", "-connect", f"{LOOPBACK}:{gw.port}",
                               "-brief", "-tls1_2"], input="QUIT\n", capture_output=True, text=True, timeout=30)
    assert "Protocol version: TLSv1.2" in s_client.stderr, s_client.stderr
    subjects = b"".join(p.read_bytes() for p in gw.wait_for_files("ENV*.tmp", 2))
    assert b"smtplib over TLS" in subjects and b"swaks over TLS" in subjects
    # TLS 1.1 is refused (the client's own floor lowered so that it asks at all).
    old = subprocess.run(["openssl", "s_client", "-starttls", "smtp", "-connect", f"{LOOPBACK}:{gw.port}", "-brief",
                          "-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0"], input="", capture_output=True, text=True,
                         timeout=30)
    assert old.returncode != 0 and "Protocol version" not in old.stderr, old.stderr
    gw.wait_log("SMTPIn- TLS handshake failed, connection closed")
    gw.serves()


def test_plaintext_after_starttls_is_never_run(tls_gateway):
    gw = tls_gateway()
    with SmtpConnection(gw.port) as conn:
        assert conn.reply()[0] == 220 and conn.command("EHLO c")[0] == 250
        conn.sock.sendall(b"STARTTLS\r\nRSET\r\n")  # one packet: the RSET came before TLS
        assert conn.reply() == (220, b"220 Ready to start TLS\r\n")
        tls = client_context().wrap_socket(conn.sock, server_hostname="localhost")
        tls.sendall(b"NOOP\r\n")
        # The first reply over TLS answers NOOP: the RSET was thrown away, not answered.
        assert tls.recv(4096) == b"250 Requested mail action ok, completed\r\n"
        tls.close()
    gw.wait_log("SMTPIn- Plaintext sent after STARTTLS thrown away unread, bytes: 6")


def test_require_tls_and_no_certificate(tls_gateway, make_gateway):
    gw = tls_gateway(RequireTls=1)
    with gw.smtp() as client:
        client.ehlo()
        assert client.mail("a@example.com") == (530, b"Must issue a STARTTLS command first")
        client.starttls(context=client_context())
        client.ehlo()
        assert client.mail("a@example.com")[0] == 250
    plain = make_gateway()
    with SmtpConnection(plain.port) as conn:
        conn.reply()
        # HELO as it always was; EHLO without STARTTLS; STARTTLS refused.
        assert conn.command("HELO c") == (250, b"250 fax.example.com c\r\n")
        assert conn.command("STARTTLS") == (454, b"454 TLS not available\r\n")
    with SmtpConnection(plain.port) as conn:
        conn.reply()
        assert conn.command("EHLO c")[1] == b"250-fax.example.com\r\n250-SIZE 26214400\r\n250 8BITMIME\r\n"


def test_hostile_clients_end_alone(tls_gateway):
    gw = tls_gateway()
    gw.serves()  # the hand-off's threads are there from now on
    baseline = gw.counts()

    def after_starttls() -> SmtpConnection:
        conn = SmtpConnection(gw.port, timeout=HANDSHAKE_MS / 1000 + 5)
        assert conn.reply()[0] == 220 and conn.command("EHLO c")[0] == 250
        assert conn.command("STARTTLS")[0] == 220
        return conn

    # Stalls in the handshake: closed at the limit.
    with after_starttls() as conn:
        started = time.monotonic()
        assert conn.wait_closed(HANDSHAKE_MS / 1000 + 3)
        assert HANDSHAKE_MS / 1000 - 0.3 < time.monotonic() - started < HANDSHAKE_MS / 1000 + 2
    # Garbage instead of a ClientHello, and a ClientHello cut in the middle.
    with after_starttls() as conn:
        conn.sock.sendall(b"MAIL FROM:<x@example.com>\r\n" * 100)
        assert conn.until_closed(10)[0][:1] in (b"", b"\x15")  # nothing, or a TLS alert
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    with pytest.raises(ssl.SSLWantReadError):
        client_context().wrap_bio(incoming, outgoing).do_handshake()
    hello = outgoing.read()
    with after_starttls() as conn:
        conn.sock.sendall(hello[:len(hello) // 2])
        conn.sock.shutdown(socket.SHUT_WR)
        assert conn.until_closed(10)[0][:1] in (b"", b"\x15")
    # 20 MB over TLS on one command line: refused whole once its line ends, and the session goes on.
    with gw.smtp() as client:
        client.ehlo()
        client.starttls(context=client_context())
        client.ehlo()
        client.send(b"N" * (20 << 20) + b"\r\n")
        assert client.getreply() == (500, b"Line too long.")
        assert client.noop()[0] == 250
    log = gw.text("debug.log")
    assert log.count("SMTPIn- TLS handshake failed, connection closed") == 3, log[-3000:]
    assert f"no handshake within {HANDSHAKE_MS} ms" in log
    gw.serves()
    gw.settles(baseline)


def test_key_that_cannot_be_read_stops_the_start(make_gateway, certificates, tmp_path):
    cert, _ = certificates["server"]
    for key, why in [(tmp_path / "missing.key", "cannot be read"), (cert, "holds no usable PEM key")]:
        gw = make_gateway(values={"TlsCertificateFile": str(cert), "TlsKeyFile": str(key)}, start=False)
        gw.write_settings()
        run = subprocess.run(gw.command(), env=gw.environment(), input=b"", capture_output=True, timeout=30)
        assert run.returncode == 6, run.stderr
        assert b"cannot start: the TLS certificate cannot be used: TlsKeyFile" in run.stderr and why.encode() in run.stderr


# ---- Outbound


class TlsReceiver:
    """aiosmtpd on 127.0.0.1:port with STARTTLS (required) and the given certificate; keeps each mail
    with the TLS version it came over."""

    def __init__(self, cert: Path, key: Path):
        from aiosmtpd.controller import Controller
        self.mails: list[tuple[str, bytes]] = []
        receiver = self

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                receiver.mails.append((session.ssl["ssl_object"].version() if session.ssl else "", envelope.content))
                return "250 2.0.0 Ok"
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(cert, key)
        self.port = free_port()
        self.controller = Controller(Handler(), hostname=LOOPBACK, port=self.port, tls_context=context,
                                     require_starttls=True)
        self.controller.start()

    def close(self):
        self.controller.stop()


@pytest.fixture
def receivers():
    made = []
    yield lambda *args: made.append(TlsReceiver(*args)) or made[-1]
    [r.close() for r in made]


def deliver(make_gateway, port: int, env: dict | None = None, **values):
    needs_seam()
    gw = make_gateway(values={"DNSName": "127.0.2.53", "SmtpTxPort": port, **values},
                      env={"CVSMTPGW_RETRY_MINUTE_MS": "100000", "CVSMTPGW_REPLY_TIMEOUT_MS": "3000", **(env or {})},
                      start=False)
    drop_message(gw.in_dir, "fax.tmp", message_file("user@127.0.0.1", "Fax over TLS", ["A fax."]))
    return gw.start()


def test_delivery_over_starttls(make_gateway, receivers, certificates, tmp_path):
    # A receiver whose chain is 50 certificates long is served too (nothing is verified at OutboundTls 0).
    cert, key = certificates["server"]
    long_chain = tmp_path / "chain.pem"
    long_chain.write_bytes(cert.read_bytes() + certificates["ca"][0].read_bytes() * 49)
    for chain in (cert, long_chain):
        mx = receivers(chain, key)
        gw = deliver(make_gateway, mx.port)  # OutboundTls 0: TLS when offered
        wait_until(lambda: mx.mails and not (gw.in_dir / "fax.tmp").exists(), 30, gw.diagnostics)
        version, content = mx.mails[0]
        assert version in ("TLSv1.2", "TLSv1.3") and b"Fax over TLS" in content
        assert f"SMTPOut- TLS started: {version}" in gw.text("debug.log")


def test_outbound_tls_required_and_verified(make_gateway, receivers, certificates):
    # OutboundTls 2 with the test CA as the trust store: the certificate naming 127.0.0.1 is taken,
    # the one naming another host is not; OutboundTls 1 sends nothing to a host without STARTTLS.
    trust = {"SSL_CERT_FILE": str(certificates["ca"][0])}
    right, wrong = receivers(*certificates["right"]), receivers(*certificates["wrong"])
    verified = deliver(make_gateway, right.port, env=trust, OutboundTls=2)
    refused = deliver(make_gateway, wrong.port, env=trust, OutboundTls=2)
    with ScriptedReceiver() as plain:
        required = deliver(make_gateway, plain.port, OutboundTls=1)
        required.wait_log("the host offers no STARTTLS, and OutboundTls requires it")
        assert plain.mails == []
    wait_until(lambda: right.mails, 30, verified.diagnostics)
    refused.wait_log("SMTPOut- Error: TLS: 127.0.0.1: handshake failed: the server's certificate did not verify")
    assert wrong.mails == [] and (refused.in_dir / "fax.tmp").exists()


# ---- Postfix on both sides: relaying to the gateway over TLS, and as the gateway's relay host


RELAY_MAIN_CF = """\
myhostname = relay.test
smtpd_tls_security_level = encrypt
smtpd_tls_cert_file = {files}/cert.pem
smtpd_tls_key_file = {files}/key.pem
smtpd_tls_loglevel = 1
smtpd_tls_auth_only = yes
smtpd_sasl_auth_enable = yes
smtpd_sasl_type = cyrus
smtpd_sasl_path = smtpd
smtpd_sasl_local_domain = relay.test
smtpd_sasl_security_options = noanonymous
smtpd_relay_restrictions = permit_sasl_authenticated, reject
defer_transports = smtp
"""


@pytest.fixture
def postfix_relay(certificates):
    """Makes private Postfixes on 127.0.0.1 that take mail only over TLS and from relayuser (a sasldb user whose
    password is PASSWORD) with the SASL `mechanisms` given; their files in a directory the user postfix can read."""
    import shutil
    import tempfile
    from private_postfix import PrivatePostfix
    made = []

    def make(mechanisms: str = "PLAIN LOGIN") -> PrivatePostfix:
        files = Path(tempfile.mkdtemp(prefix="cvgw-relay-"))
        files.chmod(0o755)
        for source, name in zip(certificates["server"], ("cert.pem", "key.pem")):
            (files / name).write_bytes(source.read_bytes())
            (files / name).chmod(0o644)
        # Debian's Postfix has Cyrus SASL read <config directory>/sasl/smtpd.conf.
        sasl = f"pwcheck_method: auxprop\nauxprop_plugin: sasldb\nsasldb_path: {files}/sasldb2\nmech_list: {mechanisms}\n"
        subprocess.run(["saslpasswd2", "-f", str(files / "sasldb2"), "-c", "-p", "-u", "relay.test", "relayuser"],
                       input=PASSWORD.encode(), check=True)
        (files / "sasldb2").chmod(0o644)
        made.append((PrivatePostfix(LOOPBACK, free_port(), RELAY_MAIN_CF.replace("{files}", str(files)),
                                    conf_files={"sasl/smtpd.conf": sasl}), files))
        return made[-1][0].start()
    yield make
    for postfix, files in made:
        postfix.stop()
        shutil.rmtree(files, ignore_errors=True)


PASSWORD = "s3cret pass"


def relay_gateway(make_gateway, directory: Path, relay: str, password: str, syslog: Path):
    needs_seam()
    directory.mkdir(exist_ok=True)
    (directory / "password").write_text(password + "\n")
    gw = make_gateway(values={"SmartHost": relay, "SmartHostUser": "relayuser",
                              "SmartHostPasswordFile": str(directory / "password"), "DNSName": "127.0.2.53"},
                      env={"CVSMTPGW_RETRY_MINUTE_MS": "100000", "CVSMTPGW_REPLY_TIMEOUT_MS": "5000",
                           "CVSMTPGW_SYSLOG_SOCKET": str(syslog)}, start=False)
    for n in (1, 2):  # to a domain that has no name server: only the relay host can take it
        drop_message(gw.in_dir, f"fax{n}.tmp", message_file(f"user{n}@customer.invalid", f"Fax {n}", ["A fax."]))
    return gw.start()


def test_postfix_relays_to_the_gateway_over_tls(tls_gateway):
    from private_postfix import PrivatePostfix
    gw = tls_gateway()
    main_cf = (f"relayhost = [{LOOPBACK}]:{gw.port}\nsmtp_tls_security_level = encrypt\nsmtp_tls_loglevel = 1\n"
               "mynetworks = 127.0.0.0/8\nsmtpd_relay_restrictions = permit_mynetworks, reject\n")
    with PrivatePostfix(LOOPBACK, free_port(), main_cf) as postfix:
        import smtplib
        with smtplib.SMTP(LOOPBACK, postfix.port, timeout=30) as client:
            client.sendmail("a@example.com", [FAX], f"From: a@example.com\r\nTo: {FAX}\r\nSubject: via Postfix\r\n\r\nx\r\n")
        envelope = gw.wait_for_files("ENV*.tmp", 1, timeout=60)[0]
        assert b"SUBJECT: via Postfix" in envelope.read_bytes()
        wait_until(lambda: "TLS connection established to" in postfix.log() and "status=sent" in postfix.log(), 30,
                   postfix.log)


def test_relay_host_with_auth_over_tls(make_gateway, postfix_relay, tmp_path):
    from outbound_support import SyslogSocket
    syslog = SyslogSocket(tmp_path / "syslog")
    postfix, login_only = postfix_relay(), postfix_relay("LOGIN")
    relay = f"[{LOOPBACK}]:{postfix.port}"
    gw = relay_gateway(make_gateway, tmp_path, relay, PASSWORD, tmp_path / "syslog")
    login = relay_gateway(make_gateway, tmp_path / "login", f"[{LOOPBACK}]:{login_only.port}", PASSWORD,
                          tmp_path / "syslog")
    for gateway, relay_postfix, method in ((gw, postfix, "PLAIN"), (login, login_only, "LOGIN")):
        wait_until(lambda: not list(gateway.in_dir.glob("fax*.tmp")), 60,
                   lambda: gateway.diagnostics() + relay_postfix.log())
        log = relay_postfix.log()
        assert log.count(f"sasl_method={method}, sasl_username=relayuser") == 2, log  # a session per mail
        assert "TLS connection established from" in log and log.count("from=<fax@fax.example.com>") == 2, log
        assert PASSWORD not in gateway.text("debug.log")
    # The mail log says which TLS each delivery had (its line may come just after the file goes).
    def delivered():
        syslog.texts()
        return [t for t in syslog.received if t.startswith("out: ") and t.endswith("status=delivered")]
    wait_until(lambda: len(delivered()) == 4, 10, lambda: str(syslog.received))
    assert all(re.search(r" tls=TLSv1\.[23] ", t) for t in delivered()), syslog.received
    # Wrong password: Postfix's 535; the mails wait in IN, unrenamed, and the event comes once.
    wrong = relay_gateway(make_gateway, tmp_path / "wrong", relay, "not it", tmp_path / "syslog")
    wrong.wait_log("SMTPOut- Error: the relay host cannot be used, mail waits: AUTH refused: 535")
    wait_until(lambda: wrong.text("debug.log").count("AUTH refused: 535") >= 2, 30, wrong.diagnostics)
    events = syslog.events(436, timeout=5)
    assert len(events) == 1 and "535" in events[0], syslog.received
    assert sorted(p.name for p in wrong.in_dir.iterdir() if p.suffix == ".tmp") == ["fax1.tmp", "fax2.tmp"]
    assert "Attempt 1 of" not in wrong.text("debug.log") and "not it" not in wrong.text("debug.log")
    syslog.close()


def test_relay_host_without_starttls_gets_no_credentials(make_gateway, tmp_path):
    seen = []

    def relay(conn, _):  # offers AUTH but no STARTTLS, and keeps every line it gets
        conn.sendall(b"220 relay.test ESMTP\r\n")
        for line in conn.makefile("rb"):
            seen.append(line)
            conn.sendall(b"250-relay.test\r\n250 AUTH PLAIN LOGIN\r\n" if line.startswith(b"EHLO") else
                         b"221 bye\r\n" if line.startswith(b"QUIT") else b"250 ok\r\n")
    from outbound_support import Listener
    with Listener(relay) as listener:
        gw = relay_gateway(make_gateway, tmp_path, f"[{LOOPBACK}]:{listener.port}", "s3cret", tmp_path / "syslog")
        gw.wait_log("the relay host offers no TLS: its credentials are not sent in the clear")
    assert seen and all(line.split()[0] in (b"EHLO", b"QUIT") for line in seen), seen
    assert (gw.in_dir / "fax1.tmp").exists()
