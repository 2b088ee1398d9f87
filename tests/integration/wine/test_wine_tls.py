"""TLS of cvsmtpgw.exe through wine's Schannel (on GnuTLS). Outbound, OutboundTls 2 with a test CA in the
machine's Root store: the right name, a wrong one, TLS 1.1. Inbound: the server certificate from PEM files and
from the machine store by thumbprint, serving STARTTLS to a verifying client. Wine 8's Schannel has no server
side, which the gateway reports at its start as a certificate it cannot use."""

from __future__ import annotations

import email
import email.policy
import ssl
import subprocess
from pathlib import Path

from gateway_harness import FAX, wait_until
from outbound_support import drop_message, message_file
from test_tls import TlsReceiver, make_certificate
from wine_support import binary, own_lines, run, windows_path, wine_version

PDF = b"%PDF-1.4\n" + bytes(range(256)) * 40
NO_SERVER_SIDE = "this system's TLS (Schannel) has no server side: AcceptSecurityContext is not supported"


def rsa_certificate(directory: Path, name: str = "localhost", ca: tuple[Path, Path] | None = None
                    ) -> tuple[Path, Path, Path]:
    """An RSA certificate (what wine's Schannel serves) for localhost and 127.0.0.1, its key, and both as PKCS#12."""
    cert, key = make_certificate(directory, name, "DNS:localhost,IP:127.0.0.1", ca, rsa=True)
    pfx = directory / f"{name}.pfx"
    subprocess.run(["openssl", "pkcs12", "-export", "-in", cert, "-inkey", key, "-out", pfx, "-passout", "pass:",
                    "-certpbe", "PBE-SHA1-3DES", "-keypbe", "PBE-SHA1-3DES", "-macalg", "sha1"],
                   check=True, capture_output=True)
    return cert, key, pfx


def store(store_name: str, path: Path) -> str:
    """Puts a certificate into the machine store `store_name` (My with its key, or Root); its thumbprint."""
    result = run(str(binary("test_helper.exe")), "store-certificate", store_name, windows_path(path))
    return own_lines(result.stdout)[-1].strip()


def deliver(make_gateway, port: int):
    """A gateway that delivers one fax report with a PDF to user@127.0.0.1 on `port` with TLS verified."""
    gw = make_gateway(values={"DNSName": "127.0.2.53", "SmtpTxPort": port, "OutboundTls": 2},
                      env={"CVSMTPGW_REPLY_TIMEOUT_MS": "10000"}, start=False)
    (gw.in_dir / "fax.pdf").write_bytes(PDF)
    drop_message(gw.in_dir, "fax.tmp", message_file("user@127.0.0.1", "Fax over TLS", ["A fax.", "Two pages."],
                                                    [("fax.pdf", "fax.pdf")]))
    return gw.start()


def test_delivery_over_starttls_and_verification(make_gateway, tmp_path):
    ca = make_certificate(tmp_path, "Test CA", "DNS:ca.test")
    right_certificate = make_certificate(tmp_path, "right", "IP:127.0.0.1", ca)
    right, old = TlsReceiver(*right_certificate), TlsReceiver(*right_certificate)
    wrong = TlsReceiver(*make_certificate(tmp_path, "wrong", "DNS:wrong.example", ca))
    # A server that goes no higher than TLS 1.1 is refused, whatever the system would agree to.
    old_context = old.controller.SMTP_kwargs["tls_context"]
    old_context.minimum_version, old_context.maximum_version = ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1
    old_context.set_ciphers("DEFAULT@SECLEVEL=0")
    try:
        store("Root", ca[0])
        verified, refused, too_old = (deliver(make_gateway, r.port) for r in (right, wrong, old))
        wait_until(lambda: right.mails and not (verified.in_dir / "fax.tmp").exists(), 60, verified.diagnostics)
        version, content = right.mails[0]
        assert version == "TLSv1.2"
        # Read and written through the Windows runtime: the text keeps its lines, the attachment its bytes.
        text, attachment = email.message_from_bytes(content, policy=email.policy.default).get_payload()
        assert text.get_payload().splitlines() == ["A fax.", "Two pages."]
        assert attachment.get_filename() == "fax.pdf" and attachment.get_payload(decode=True) == PDF
        failure = ("SMTPOut- Error: TLS: 127.0.0.1: handshake failed: the server's certificate did not verify: "
                   "it is not for host 127.0.0.1")
        wait_until(lambda: failure in refused.text("debug.log"), 60, refused.diagnostics)
        wait_until(lambda: "SMTPOut- Error: TLS: 127.0.0.1: " in too_old.text("debug.log"), 60, too_old.diagnostics)
        for receiver, gw in ((wrong, refused), (old, too_old)):
            assert receiver.mails == [] and (gw.in_dir / "fax.tmp").exists()
    finally:
        for receiver in (right, wrong, old):
            receiver.close()


def serves_starttls(gw, ca: Path) -> None:
    """One mail over STARTTLS from smtplib, which verifies the certificate against `ca` and the name 127.0.0.1."""
    context = ssl.create_default_context(cafile=str(ca))
    with gw.smtp() as client:
        assert client.starttls(context=context)[0] == 220
        version = client.sock.version()
        assert version in ("TLSv1.2", "TLSv1.3"), version
        assert client.sendmail("a@example.com", [FAX],
                               f"From: a@example.com\r\nTo: {FAX}\r\nSubject: smtplib over TLS\r\n\r\nx\r\n") == {}
    assert b"SUBJECT: smtplib over TLS" in gw.wait_for_files("ENV*.tmp", 1, 30)[0].read_bytes()


def serves_starttls_on_a_new_gateway(make_gateway, values_for, ca: tuple[Path, Path]) -> None:
    """serves_starttls with a new certificate signed by `ca` in the settings `values_for` gives; once more with
    another when wine 10's GnuTLS failed with the key (about 1 run in 25, at the start's check or in a handshake)."""
    for attempt in (1, 2):
        gw = None
        try:
            directory = ca[0].parent / f"{values_for.__name__}-{attempt}"
            directory.mkdir()
            gw = make_gateway(values=values_for(*rsa_certificate(directory, ca=ca)))
            return serves_starttls(gw, ca[0])
        except Exception as failure:
            seen = str(failure) + (gw.text("stderr.txt") if gw is not None else "")
            if attempt == 2 or "GnuTLS error: " not in seen:
                raise
            if gw is not None:
                gw.stop()


def from_files(cert: Path, key: Path, _pfx: Path) -> dict:
    return {"TlsCertificateFile": windows_path(cert), "TlsKeyFile": windows_path(key)}


def from_the_machine_store(_cert: Path, _key: Path, pfx: Path) -> dict:
    """The thumbprint as the certificate manager shows it: spaced, upper case."""
    thumbprint = store("My", pfx)
    return {"TlsCertificateThumbprint": " ".join(thumbprint[i:i + 2] for i in range(0, len(thumbprint), 2)).upper()}


def test_server_certificate_from_files_and_from_the_machine_store(make_gateway, tmp_path):
    ca = make_certificate(tmp_path, "Test CA", "DNS:ca.test")
    cert, key, pfx = rsa_certificate(tmp_path, ca=ca)
    other_key = rsa_certificate(tmp_path, "other")[1]
    # Both ways find the certificate and its key, and serve STARTTLS where the system has a TLS server side.
    usable = [(from_files(cert, key, pfx), NO_SERVER_SIDE), (from_the_machine_store(cert, key, pfx), NO_SERVER_SIDE)]
    if wine_version() >= (10,):
        for values_for in (from_files, from_the_machine_store):
            serves_starttls_on_a_new_gateway(make_gateway, values_for, ca)
        usable = []
    # What cannot be used is said as such; the process stops at once with exit status 6. (A thumbprint that
    # names nothing in the machine store: tls_channel_test, which runs under wine too.)
    gw = make_gateway(start=False)
    for values, why in usable + [
        ({"TlsCertificateFile": windows_path(cert),
          "TlsKeyFile": windows_path(cert)}, "holds no usable PEM key"),
        ({"TlsKeyFile": windows_path(other_key)}, "is not the key of the certificate"),
    ]:
        gw.values.update(values)
        gw.write_settings()
        result = subprocess.run(gw.command(), env=gw.environment(), input=b"", capture_output=True, timeout=60)
        text = result.stderr.decode("latin-1")
        assert result.returncode == 6 and "cannot start: the TLS certificate cannot be used: " in text, text
        assert why in text, (values, text)
