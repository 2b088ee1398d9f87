"""STARTTLS both ways with real peers (smtplib, openssl s_client, aiosmtpd, Postfix) and certificates
the test makes. The receiver domain of outbound mail is an address literal: no name server, no root."""

from __future__ import annotations

import shutil
import socket
import ssl
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from gateway_harness import FAX, LOOPBACK, SmtpConnection, free_port, mail, wait_until
from outbound_support import Listener, ScriptedReceiver, drop_message, message_file, outbound_gateway

HANDSHAKE_MS = 2500  # the test build's handshake limit (CVSMTPGW_TLS_HANDSHAKE_MS)
NO_RETRY = {"CVSMTPGW_RETRY_MINUTE_MS": "100000"}  # no second attempt within a test


def make_certificate(directory: Path, name: str, san: str, ca: tuple[Path, Path] | None = None,
                     rsa: bool = False) -> tuple[Path, Path]:
    """A P-256 (or RSA) certificate for `san` (self-signed, or signed by `ca`) and its key, as PEM files."""
    cert, key = directory / f"{name}.pem", directory / f"{name}.key"
    new = ["-newkey", *(["rsa:2048"] if rsa else ["ec", "-pkeyopt", "ec_paramgen_curve:P-256"]), "-nodes",
           "-keyout", key, "-subj", f"/CN={name}", "-addext", f"subjectAltName={san}"]
    run = lambda *args: subprocess.run(["openssl", *args], check=True, capture_output=True)
    if ca is None:
        run("req", "-x509", *new, "-out", cert, "-days", "2")
    else:
        run("req", "-new", *new, "-out", directory / f"{name}.csr")
        run("x509", "-req", "-in", directory / f"{name}.csr", "-CA", ca[0], "-CAkey", ca[1], "-CAcreateserial",
            "-days", "2", "-copy_extensions", "copy", "-out", cert)
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


def tls_mail(gw, subject: str) -> None:
    with gw.smtp() as client:
        client.starttls(context=client_context())
        client.sendmail("a@example.com", [FAX], mail(subject))


def test_inbound_starttls_with_real_and_hostile_clients(make_gateway, certificates):
    cert, key = certificates["server"]
    gw = make_gateway(values={"TlsCertificateFile": str(cert), "TlsKeyFile": str(key), "RequireTls": 1},
                      env={"CVSMTPGW_TLS_HANDSHAKE_MS": str(HANDSHAKE_MS)})
    tls_mail(gw, "first")  # the hand-off's threads are there from now on
    baseline = gw.counts()

    with gw.smtp() as client:
        code, features = client.ehlo()
        assert code == 250 and features.split(b"\n") == [b"fax.example.com", b"SIZE 26214400", b"8BITMIME", b"STARTTLS"]
        assert client.starttls(context=client_context())[0] == 220
        assert client.sock.version() in ("TLSv1.2", "TLSv1.3")
        # Over TLS the session starts again: EHLO first, and no second STARTTLS offered or taken.
        assert client.mail("a@example.com")[0] == 503
        assert client.ehlo()[1].split(b"\n")[-1] == b"8BITMIME"
        assert client.docmd("STARTTLS") == (503, b"Bad sequence of commands")
        assert client.sendmail("a@example.com", [FAX], mail("smtplib over TLS")) == {}
    assert b"smtplib over TLS" in b"".join(p.read_bytes() for p in gw.wait_for_files("ENV*.tmp", 2))
    # TLS 1.2 is taken, TLS 1.1 refused (the client's own floor lowered so that it asks at all).
    for version, taken in (("-tls1_2", True), ("-tls1_1", False)):
        s_client = subprocess.run(["openssl", "s_client", "-starttls", "smtp", "-connect", f"{LOOPBACK}:{gw.port}",
                                   "-brief", version, "-cipher", "DEFAULT@SECLEVEL=0"], input="QUIT\n",
                                  capture_output=True, text=True, timeout=30)
        assert ("Protocol version: TLSv1" in s_client.stderr) == taken, s_client.stderr  # the one asked for

    def after_starttls(pipelined: bytes = b"") -> SmtpConnection:
        conn = SmtpConnection(gw.port, timeout=HANDSHAKE_MS / 1000 + 5)
        assert conn.reply()[0] == 220 and conn.command("EHLO c")[0] == 250
        conn.sock.sendall(b"STARTTLS\r\n" + pipelined)
        assert conn.reply() == (220, b"220 Ready to start TLS\r\n")
        return conn

    # Plaintext pipelined with STARTTLS is thrown away: the first reply over TLS answers NOOP, not RSET.
    with after_starttls(b"RSET\r\n") as conn:
        tls = client_context().wrap_socket(conn.sock, server_hostname="localhost")
        tls.sendall(b"NOOP\r\n")
        assert tls.recv(4096) == b"250 Requested mail action ok, completed\r\n"
        tls.close()
    # Stalls in the handshake: closed at the limit.
    with after_starttls() as conn:
        started = time.monotonic()
        assert conn.wait_closed(HANDSHAKE_MS / 1000 + 3)
        assert HANDSHAKE_MS / 1000 - 0.3 < time.monotonic() - started < HANDSHAKE_MS / 1000 + 2
    # A ClientHello cut in the middle (its record says 512 bytes): nothing, or a TLS alert.
    with after_starttls() as conn:
        conn.sock.sendall(b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + bytes(100))
        conn.sock.shutdown(socket.SHUT_WR)
        assert conn.until_closed(10)[0][:1] in (b"", b"\x15")
    tls_mail(gw, "last")
    gw.settles(baseline)


# ---- Outbound


class TlsReceiver:
    """aiosmtpd with STARTTLS required and the given certificate; keeps (TLS version, content) per mail."""

    def __init__(self, cert: Path, key: Path):
        from aiosmtpd.controller import Controller
        self.mails: list[tuple[str, bytes]] = []
        mails = self.mails

        class Handler:
            async def handle_DATA(self, server, session, envelope):
                mails.append((session.ssl["ssl_object"].version() if session.ssl else "", envelope.content))
                return "250 2.0.0 Ok"
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(cert, key)
        self.port = free_port()
        self.controller = Controller(Handler(), hostname=LOOPBACK, port=self.port, tls_context=context,
                                     require_starttls=True)
        self.controller.start()

    def close(self) -> None:
        self.controller.stop()


def deliver(make_gateway, port: int, env: dict | None = None, **values):
    gw = outbound_gateway(make_gateway, port, values, {**NO_RETRY, "CVSMTPGW_REPLY_TIMEOUT_MS": "3000", **(env or {})})
    drop_message(gw.in_dir, "fax.tmp", message_file("user@127.0.0.1", "Fax over TLS", ["A fax."]))
    return gw.start()


def test_delivery_over_starttls_required_and_verified(make_gateway, certificates, tmp_path):
    # OutboundTls 0 takes TLS when offered, even with a 50-certificate chain (nothing is verified);
    # OutboundTls 2 with the test CA as trust store takes the certificate naming 127.0.0.1, not the one naming
    # another host; OutboundTls 1 sends nothing to a host without STARTTLS.
    (cert, key), ca = certificates["server"], certificates["ca"][0]
    (tmp_path / "chain.pem").write_bytes(cert.read_bytes() + ca.read_bytes() * 49)
    chain, right, wrong = (TlsReceiver(*c) for c in ((tmp_path / "chain.pem", key), certificates["right"],
                                                     certificates["wrong"]))
    trust = {"SSL_CERT_FILE": str(ca)}
    try:
        opportunistic = deliver(make_gateway, chain.port)
        verified = deliver(make_gateway, right.port, env=trust, OutboundTls=2)
        refused = deliver(make_gateway, wrong.port, env=trust, OutboundTls=2)
        with ScriptedReceiver() as plain:
            required = deliver(make_gateway, plain.port, OutboundTls=1)
            required.wait_log("the host offers no STARTTLS, and OutboundTls requires it")
            assert plain.mails == []
        wait_until(lambda: chain.mails and not (opportunistic.in_dir / "fax.tmp").exists(), 30,
                   opportunistic.diagnostics)
        assert chain.mails[0][0] in ("TLSv1.2", "TLSv1.3") and b"Fax over TLS" in chain.mails[0][1]
        wait_until(lambda: right.mails, 30, verified.diagnostics)
        refused.wait_log("SMTPOut- Error: TLS: 127.0.0.1: handshake failed: the server's certificate did not verify")
        assert wrong.mails == [] and (refused.in_dir / "fax.tmp").exists()
    finally:
        [r.close() for r in (chain, right, wrong)]


# ---- A private Postfix as the gateway's relay host, with SASL over TLS


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
PASSWORD = "s3cret pass"


@pytest.fixture
def postfix_relay(certificates):
    """Private Postfixes that take mail only over TLS from relayuser (password PASSWORD) with the SASL
    `mechanisms` given."""
    from private_postfix import PrivatePostfix
    made = []

    def make(mechanisms: str) -> PrivatePostfix:
        files = Path(tempfile.mkdtemp(prefix="cvgw-relay-"))  # read by the user postfix
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


def relay_gateway(make_gateway, directory: Path, port: int, password: str):
    directory.mkdir(exist_ok=True)
    (directory / "password").write_text(password + "\n")
    gw = outbound_gateway(make_gateway, port, {"SmartHost": f"[{LOOPBACK}]:{port}", "SmartHostUser": "relayuser",
                                               "SmartHostPasswordFile": str(directory / "password")},
                          {**NO_RETRY, "CVSMTPGW_REPLY_TIMEOUT_MS": "5000"})
    for n in (1, 2):  # to a domain that has no name server: only the relay host can take it
        drop_message(gw.in_dir, f"fax{n}.tmp", message_file(f"user{n}@customer.invalid", f"Fax {n}", ["A fax."]))
    return gw.start()


def test_relay_host_with_auth_over_tls(make_gateway, postfix_relay, tmp_path, syslog):
    plain_login, login_only = postfix_relay("PLAIN LOGIN"), postfix_relay("LOGIN")
    gateways = [(relay_gateway(make_gateway, tmp_path / method, relay.port, PASSWORD), relay, method)
                for relay, method in ((plain_login, "PLAIN"), (login_only, "LOGIN"))]
    wrong = relay_gateway(make_gateway, tmp_path / "wrong", plain_login.port, "not it")
    for gateway, relay, method in gateways:
        wait_until(lambda: not list(gateway.in_dir.glob("fax*.tmp")), 60, lambda: gateway.diagnostics() + relay.log())
        log = relay.log()
        assert log.count(f"sasl_method={method}, sasl_username=relayuser") == 2, log  # a session per mail
        assert "TLS connection established from" in log and log.count("from=<fax@fax.example.com>") == 2, log
        assert PASSWORD not in gateway.text("debug.log")
    # Wrong password: Postfix's 535; the mails wait in IN, unrenamed, and the event comes once.
    wait_until(lambda: wrong.text("debug.log").count("AUTH refused: 535") >= 2, 30, wrong.diagnostics)
    events = syslog.events(436, timeout=5)
    assert len(events) == 1 and "535" in events[0], syslog.received
    assert sorted(p.name for p in wrong.in_dir.iterdir() if p.suffix == ".tmp") == ["fax1.tmp", "fax2.tmp"]
    assert "Attempt 1 of" not in wrong.text("debug.log") and "not it" not in wrong.text("debug.log")


def test_relay_host_without_starttls_gets_no_credentials(make_gateway, tmp_path, syslog):
    seen = []

    def relay(conn, _):  # offers AUTH but no STARTTLS, and keeps every line it gets
        conn.sendall(b"220 relay.test ESMTP\r\n")
        for line in conn.makefile("rb"):
            seen.append(line)
            conn.sendall(b"250-relay.test\r\n250 AUTH PLAIN LOGIN\r\n" if line.startswith(b"EHLO") else
                         b"221 bye\r\n" if line.startswith(b"QUIT") else b"250 ok\r\n")
    with Listener(relay) as listener:
        gw = relay_gateway(make_gateway, tmp_path, listener.port, "s3cret")
        gw.wait_log("the relay host offers no TLS: its credentials are not sent in the clear")
    assert seen and all(line.split()[0] in (b"EHLO", b"QUIT") for line in seen), seen
    assert (gw.in_dir / "fax1.tmp").exists()
