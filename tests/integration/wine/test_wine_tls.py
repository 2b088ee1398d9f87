"""TLS of cvsmtpgw.exe under wine, whose Schannel runs on GnuTLS. Outbound: delivery over STARTTLS
to aiosmtpd, and OutboundTls 2 with a test CA put into the machine's Root store: a certificate for
127.0.0.1 is taken, one for another name is not. Inbound: the server certificate from PEM files and
from the machine store by thumbprint; wine's Schannel has no server side (no
AcceptSecurityContext), which the gateway finds at its start and reports as a certificate it
cannot use, as it would a missing one. The client channel alone against openssl s_server: records
both ways, the handshake time, and a server that offers no more than TLS 1.1 refused."""

from __future__ import annotations

import subprocess
from pathlib import Path

from gateway_harness import free_port, wait_until
from outbound_support import drop_message, message_file
from test_tls import TlsReceiver, make_certificate
from wine_support import binary, own_lines, run, windows_path


def rsa_certificate(directory: Path, name: str = "server") -> tuple[Path, Path, Path]:
    """A self-signed RSA certificate (what wine's Schannel takes as a server's), its PKCS#8 key, and
    both in a PKCS#12 file without password."""
    cert, key, pfx = directory / f"{name}.pem", directory / f"{name}.key", directory / f"{name}.pfx"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost"],
                   check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-in", cert, "-inkey", key, "-out", pfx, "-passout", "pass:",
                    "-certpbe", "PBE-SHA1-3DES", "-keypbe", "PBE-SHA1-3DES", "-macalg", "sha1"],
                   check=True, capture_output=True)
    return cert, key, pfx


def store(store_name: str, path: Path) -> str:
    """Puts a certificate into the machine store `store_name` (My with its key, or Root); its thumbprint."""
    result = run(str(binary("test_helper.exe")), "store-certificate", store_name, windows_path(path))
    return own_lines(result.stdout)[-1].strip()


def deliver(make_gateway, port: int, **values):
    """A gateway that delivers one fax report to user@127.0.0.1 on `port` (no name server asked)."""
    gw = make_gateway(values={"DNSName": "127.0.2.53", "SmtpTxPort": port, **values},
                      env={"CVSMTPGW_REPLY_TIMEOUT_MS": "10000"}, start=False)
    drop_message(gw.in_dir, "fax.tmp", message_file("user@127.0.0.1", "Fax over TLS", ["A fax."]))
    return gw.start()


def failed_start(gw, **values) -> str:
    """Starts the gateway with `values`; it must stop at once with exit status 6 (event 433): its stderr."""
    gw.values.update(values)
    gw.write_settings()
    result = subprocess.run(gw.command(), env=gw.environment(), input=b"", capture_output=True, timeout=60)
    text = result.stderr.decode("latin-1")
    assert result.returncode == 6, text
    assert "cannot start: the TLS certificate cannot be used: " in text, text
    return text


def test_delivery_over_starttls_and_verification(make_gateway, tmp_path):
    ca = make_certificate(tmp_path, "Test CA", "DNS:ca.test")
    right = TlsReceiver(*make_certificate(tmp_path, "right", "IP:127.0.0.1", ca))
    wrong = TlsReceiver(*make_certificate(tmp_path, "wrong", "DNS:wrong.example", ca))
    try:
        store("Root", ca[0])
        verified = deliver(make_gateway, right.port, OutboundTls=2)
        refused = deliver(make_gateway, wrong.port, OutboundTls=2)
        wait_until(lambda: right.mails and not (verified.in_dir / "fax.tmp").exists(), 60, verified.diagnostics)
        version, content = right.mails[0]
        assert version == "TLSv1.2" and b"Fax over TLS" in content
        log = verified.text("debug.log")
        assert "SMTPOut- TLS started: TLSv1.2" in log, log
        # The mail log's line for the delivery (its file below the program directory on Windows).
        day = wait_until(lambda: list((verified.root / "MailLog").glob("20*.log")) or None, 10)
        assert " tls=TLSv1.2" in day[0].read_text("latin-1"), day[0].read_text("latin-1")
        failure = ("SMTPOut- Error: TLS: 127.0.0.1: handshake failed: the server's certificate did not verify: "
                   "it is not for host 127.0.0.1")
        wait_until(lambda: failure in refused.text("debug.log"), 60, refused.diagnostics)
        assert wrong.mails == [] and (refused.in_dir / "fax.tmp").exists()
    finally:
        right.close()
        wrong.close()


def test_server_certificate_from_files_and_from_the_machine_store(make_gateway, tmp_path):
    cert, key, pfx = rsa_certificate(tmp_path)
    other_key = rsa_certificate(tmp_path, "other")[1]
    gw = make_gateway(start=False)
    no_server_side = "this system's TLS (Schannel) has no server side: AcceptSecurityContext is not supported"
    # Both ways find the certificate and its key; then the server side is missing.
    assert no_server_side in failed_start(gw, TlsCertificateFile=windows_path(cert), TlsKeyFile=windows_path(key))
    thumbprint = store("My", pfx)
    spaced = " ".join(thumbprint[i:i + 2] for i in range(0, len(thumbprint), 2)).upper()
    assert no_server_side in failed_start(gw, TlsCertificateFile="", TlsCertificateThumbprint=spaced)
    # What cannot be used is said as such.
    for values, why in [
        ({"TlsCertificateThumbprint": "00" * 20}, "no such certificate in LocalMachine\\My"),
        ({"TlsCertificateThumbprint": thumbprint[:-1]}, "is not 40 hex digits"),
        ({"TlsCertificateThumbprint": "", "TlsCertificateFile": windows_path(cert),
          "TlsKeyFile": windows_path(cert)}, "holds no usable PEM key"),
        ({"TlsKeyFile": windows_path(other_key)}, "is not the key of the certificate"),
    ]:
        assert why in failed_start(gw, **values), values


def test_client_channel_against_openssl(tmp_path):
    # The gateway's client channel alone (test_helper tls-client), against openssl s_server -rev
    # (which answers each line reversed): records go both ways, and the handshake time is shown.
    cert, key = make_certificate(tmp_path, "localhost", "DNS:localhost")
    sessions = 10

    def client(*server_options: str, count: int = 1) -> str:
        port = free_port()
        server = subprocess.Popen(["openssl", "s_server", "-accept", f"127.0.0.1:{port}", "-cert", cert, "-key", key,
                                   "-rev", "-naccept", str(count), *server_options],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            wait_until(lambda: server.stdout.readline().strip() in (b"ACCEPT", b""), 10)  # listening
            result = run(str(binary("test_helper.exe")), "tls-client", str(port), str(count), "0", "localhost",
                         check=False)
            return own_lines(result.stdout)[-1]
        finally:
            server.kill()
            server.wait()

    line = client(count=sessions)
    print(f"{sessions} sessions: {line}")
    assert line.startswith("version=TLSv1.2 ms=") and line.endswith(" echo=gnip"), line
    # A server that goes no higher than TLS 1.1 is refused, whatever the system would agree to.
    old = client("-tls1_1", "-cipher", "DEFAULT@SECLEVEL=0")
    assert old.startswith("error=") and ("agreed TLSv1.1" in old or "handshake failed" in old), old
