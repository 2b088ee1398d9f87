#!/usr/bin/python3
"""Writes each fuzz target's seeds to OUTDIR/<target>/ (run by scripts/fuzz.sh): the mails of
../shared/corpus/mime (read where they lie, never copied), the tests' message files and hive, DNS responses
made with dnspython, and fuzz/corpus/<target>/ unless --without-committed (the merge's baseline).
Usage: make_seeds.py [--without-committed] OUTDIR
"""
import hashlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent
MAIL_CORPUS = REPO.parent / "shared" / "corpus" / "mime"
NEXT = b"\n%%NEXT%%\n"  # separates the mails or parts of one input (FuzzSandbox.h)
TARGETS = ["mime_decoder_fuzz", "header_summary_fuzz", "smtp_session_fuzz", "compose_fuzz",
           "hive_parser_fuzz", "dns_parser_fuzz"]


def header_of(mail):
    ends = [mail.index(sep) + len(sep) for sep in (b"\r\n\r\n", b"\n\n") if sep in mail]
    return mail[:ends[0]] if ends else mail


def session_of(mail, piece):
    """A whole SMTP session that sends `mail` (dot-stuffed, CR LF) and quits."""
    lines = mail.replace(b"\r\n", b"\n").split(b"\n")
    data = b"\r\n".join(b"." + l if l.startswith(b".") else l for l in lines)
    return (bytes([piece]) + b"HELO client.example.com\r\nMAIL FROM:<a@example.com>\r\n"
            b"RCPT TO:<4711@fax.example.com>\r\nRCPT TO:<b@example.com>\r\nDATA\r\n" + data +
            b"\r\n.\r\nQUIT\r\n")


def dns_responses():
    try:
        import dns.message
        import dns.rrset
    except ImportError:
        return []
    out = []
    query = dns.message.make_query("fax.example.com", "ANY")
    qlen = len(query.to_wire())
    answers = {"MX": ["10 mx1.fax.example.com.", "20 mx2.fax.example.com."], "A": ["192.0.2.7"],
               "NS": ["ns1.fax.example.com."], "HINFO": ['"CPU" "Linux"'], "CNAME": ["www.fax.example.com."],
               "SOA": ["ns1.fax.example.com. hostmaster.fax.example.com. 1 3600 900 604800 60"]}
    for rtype, rdatas in answers.items():
        response = dns.message.make_response(query)
        response.answer.append(dns.rrset.from_text("fax.example.com.", 300, "IN", rtype, *rdatas))
        response.authority.append(dns.rrset.from_text("fax.example.com.", 300, "IN", "NS", "ns1.fax.example.com."))
        response.additional.append(dns.rrset.from_text("ns1.fax.example.com.", 300, "IN", "A", "192.0.2.53"))
        out.append(bytes([qlen]) + response.to_wire())
    return out


def main():
    args = [a for a in sys.argv[1:] if a != "--without-committed"]
    if len(args) != 1:
        sys.exit("usage: make_seeds.py [--without-committed] OUTDIR")
    outdir, with_committed = pathlib.Path(args[0]), "--without-committed" not in sys.argv[1:]
    seeds = {t: [] for t in TARGETS}
    mails = [p.read_bytes() for p in sorted(MAIL_CORPUS.glob("*.eml"))]
    partial = [MAIL_CORPUS / f"gmime_message-partial.{i}.eml" for i in range(3)]
    if all(p.is_file() for p in partial):
        seeds["mime_decoder_fuzz"].append(NEXT.join(p.read_bytes() for p in partial))
    envelopes = [b"", b"TO:<4711@fax.example.com>\nTO:<jane@example.com>\n"]
    for k, mail in enumerate(mails):
        seeds["mime_decoder_fuzz"].append(mail)
        seeds["header_summary_fuzz"].append(envelopes[k % 2] + NEXT + header_of(mail) + NEXT +
                                            b"Jane <4711@fax.example.com>, =?ISO-8859-1?Q?J=F6rg?= <j@example.com>")
        if len(mail) < 4000:  # bigger ones only meet the 552 of the session's small limit
            seeds["smtp_session_fuzz"].append(session_of(mail, k % 9))
    seeds["smtp_session_fuzz"].append(session_of(b"Subject: x\r\n\r\n..dot\r\n.", 0) + b"NOOP\r\nRSET\r\nHELP\r\n")
    compose_data = REPO / "tests" / "unit" / "data" / "compose"
    for k, msg in enumerate(sorted(compose_data.glob("*.msg"))):
        for variant in (k % 32, 31 - k % 32):
            seeds["compose_fuzz"].append(bytes([variant]) + msg.read_bytes())
    hive = (REPO / "packaging" / "hive.reg").read_bytes()
    seeds["hive_parser_fuzz"] += [hive, hive.replace(b"\n", b"\r\n"),
                                  b"\xff\xfe" + hive.decode().replace("\n", "\r\n").encode("utf-16-le")]
    seeds["dns_parser_fuzz"] += dns_responses()
    for target in TARGETS:
        committed = HERE / "corpus" / target
        if with_committed and committed.is_dir():
            seeds[target] += [p.read_bytes() for p in sorted(committed.iterdir()) if p.is_file()]
        directory = outdir / target
        directory.mkdir(parents=True, exist_ok=True)
        for seed in seeds[target]:
            (directory / hashlib.sha1(seed).hexdigest()).write_bytes(seed)
        print(f"{target}: {len(seeds[target])} seeds")


if __name__ == "__main__":
    main()
