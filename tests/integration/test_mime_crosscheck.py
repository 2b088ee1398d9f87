"""Cross-check of the MIME decoder: generated mails sent to the running
gateway become submissions whose attachment files and message content equal
what Python's email package decodes from the same bytes."""

import re

from mime_cases import build_cases, expected_submission


def _attach_names(envelope: bytes) -> list[str]:
    block = envelope.split(b"BEGIN ATTACH\r\n", 1)
    if len(block) < 2:
        return []
    lines = block[1].split(b"END ATTACH\r\n", 1)[0].split(b"\r\n")
    return [re.fullmatch(rb"<<.*:(ATT[^:]*)>>", line).group(1).decode() for line in lines if line]


def test_decoder_matches_python_email(make_gateway):
    cases = build_cases()
    assert len(cases) >= 50
    gw = make_gateway(debug_logs=False)
    for _, raw, _ in cases:
        assert gw.send("sender@example.com", ["5550100@fax.example.com"], raw) == {}
    envelopes = gw.wait_for_files("ENV*.tmp", count=len(cases), timeout=60)

    by_case = {}
    for env in envelopes:
        data = env.read_bytes()
        subject = re.search(rb"^SUBJECT: .*?case-(\d+)", data, re.M)
        assert subject, data
        by_case[int(subject.group(1))] = env

    wrong_md5 = 0
    for n, (desc, raw, wrong) in enumerate(cases):
        env = by_case[n]
        # The SMTP client ends the data with a line end if it has none.
        received = raw if raw.endswith(b"\r\n") else raw + b"\r\n"
        body, attachments = expected_submission(received)
        saved = _attach_names(env.read_bytes())
        assert len(saved) == len(attachments), desc
        for name, want in zip(saved, attachments):
            assert (gw.out_dir / name).read_bytes() == want, f"{desc}: {name}"
        assert env.with_suffix(".bdy").read_bytes() == body, desc
        wrong_md5 += wrong

    err = gw.stderr_text()
    assert err.count("was corrupted in transit") == wrong_md5
    assert not gw.files("Msgcnt.imp") and not gw.files("~ATTC*")
    assert not gw.files("*.err")
