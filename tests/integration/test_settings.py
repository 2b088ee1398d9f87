"""The gateway's start with values it cannot use: one debug log line and one warning event (427) for each,
none for the good ones, and the gateway runs all the same on the defaults."""

from outbound_support import SyslogSocket

PASSED_OVER = {
    "Colour": ("blue", 'Setting "Colour" is not one the gateway knows; ignored'),
    "SmtpTxPort": (0, 'Setting "SmtpTxPort" is 0, outside 1 to 65535; 25 is used instead'),
    "MaxOut": ("ten", 'Setting "MaxOut" is not a dword; 10 is used instead'),
    "DomainName": ("d" * 80, 'Setting "DomainName" is longer than 79 characters ("' + "d" * 80 +
                   '"); empty is used instead'),
}


def test_values_passed_over_are_said_once_each_at_start(make_gateway, tmp_path, monkeypatch):
    syslog = SyslogSocket(tmp_path / "syslog")
    monkeypatch.setenv("CVSMTPGW_SYSLOG_SOCKET", str(syslog.path))
    try:
        gw = make_gateway(values={name: value for name, (value, _) in PASSED_OVER.items()})
        gw.serves()
        log = gw.text("debug.log")
        for name, (_, line) in PASSED_OVER.items():
            assert log.count(line) == 1, name
        assert log.count('Setting "') == len(PASSED_OVER)
        assert "SMTPOut using remote port 25" in log and "Domain Name: <empty>" in log
        events = syslog.events(427, timeout=2)
        assert sorted(events) == sorted(f"Corvane SMTP Server, {line}" for _, line in PASSED_OVER.values())
    finally:
        syslog.close()
