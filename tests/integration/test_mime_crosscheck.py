"""Generated mails sent to the gateway become submissions whose attachments and
body equal what Python's email package decodes from the same bytes."""

import re

from gateway_harness import attachments
from mime_cases import build_cases, expected_submission


def test_decoder_matches_python_email(make_gateway):
    cases = build_cases()
    assert len(cases) >= 30
    gw = make_gateway(debug_logs=False)
    for _, raw, _ in cases:
        assert gw.send("sender@example.com", ["5550100@fax.example.com"], raw) == {}
    by_case = {int(re.search(rb"^SUBJECT: .*?case-(\d+)", env.read_bytes(), re.M).group(1)): env
               for env in gw.wait_for_files("ENV*.tmp", count=len(cases), timeout=60)}

    for n, (desc, raw, _) in enumerate(cases):
        # The SMTP client ends the data with a line end if it has none.
        body, expected = expected_submission(raw if raw.endswith(b"\r\n") else raw + b"\r\n")
        saved = attachments(gw, by_case[n])
        assert [path.read_bytes() for _, path in saved] == expected, desc
        assert by_case[n].with_suffix(".bdy").read_bytes() == body, desc

    assert gw.text("stderr.txt").count("was corrupted in transit") == sum(wrong for _, _, wrong in cases)
    assert not gw.files("Msgcnt.imp") and not gw.files("~ATTC*") and not gw.files("*.err")
