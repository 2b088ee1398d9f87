"""The inbound SMTP server with real clients: what they are told and what is stored."""




def trace_line(helo):  # put before each stored mail
    return f"Received: from {helo} by fax.example.com ; \r\n".encode()


def test_smtplib_helo_stores_as_sent(gateway):
    body = (b"From: sender@example.com\r\nTo: 4711@fax.example.com\r\nSubject: dots\r\n\r\n"
            b"first line\r\n.starts with a dot\r\n..two dots\r\n.\r\n last\r\n")
    with gateway.smtp() as client:
        assert client.helo()[0] == 250
        assert client.sendmail("sender@example.com", ["4711@fax.example.com"], body) == {}
    # smtplib stuffs the dots; the stored copy is the message as written.
    assert [p.read_bytes() for p in gateway.wait_stored(1)] == [trace_line("client.example.com") + body]
    # The connection thread still tears down after the client has gone.
    gateway.wait_log("ClientThreadEntry : Thread info structure deleted.")
