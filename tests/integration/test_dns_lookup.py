"""The DNS client (through `test_helper dns-lookup`, which runs AuthLookup) against real
name servers on loopback addresses: an authoritative dnsmasq for the mail domain and
an NSD that delegates it, like the servers above it would. Needs root (port 53)."""

import os
import subprocess
from dataclasses import dataclass
from pathlib import Path

import pytest

import dns_servers

REPO_ROOT = Path(__file__).resolve().parents[2]
MX = [(20, "127.31.7.20"), (10, "127.31.7.10"), (30, "127.31.7.30")]  # response order, not preference order

pytestmark = pytest.mark.skipif(dns_servers.cannot_serve() is not None,
                                reason=f"DNS tests skipped: {dns_servers.cannot_serve()}")


@dataclass
class Lookup:
    result: int
    authoritative: int
    records: list[tuple[int, int, str, str]]  # (type, number1, owner, text1), in the client's order

    def texts(self, rtype: int) -> list[str]:
        return [text for t, _, _, text in self.records if t == rtype]


def auth_lookup(server: str, domain: str, rtype: int | None = None) -> Lookup:
    build = Path(os.environ.get("CVSMTPGW_BUILD") or REPO_ROOT / "build")
    out = subprocess.run([str(build / "tests" / "test_helper"), "dns-lookup", server, domain]
                         + ([str(rtype)] if rtype else []),
                         capture_output=True, text=True, timeout=60, check=True).stdout
    lines = out.splitlines()
    fields = {line.split(" ", 1)[0]: line.split(" ", 1)[1] for line in lines if not line.startswith("record")}
    records = [(int(r[1]), int(r[3]), r[4], r[5]) for r in (line.split("\t") for line in lines)
               if r[0] == "record"]
    return Lookup(int(fields["result"]), int(fields["authoritative"]), records)


@pytest.fixture(scope="module")
def servers():
    dead = dns_servers.loopback_address()  # nothing is started there
    with dns_servers.serve_mail_zone("fax.test", mx=MX, a={"fax.test": "127.31.7.50",
                                                          "nomx.fax.test": ["127.31.7.40", "127.31.7.42", "127.31.7.41"]}) as zone:
        delegations = {"fax.test": [dead, zone.address], "gone.test": [dead]}
        with dns_servers.serve_delegation("test", delegations) as parent:
            yield zone, parent, dead


def test_lookups_as_an_independent_client_sees_the_responses(servers):
    zone, parent, dead = servers
    nomx = ["127.31.7.40", "127.31.7.41", "127.31.7.42"]  # in an order of dnsmasq's choosing
    # (server, name, type asked (None: MX), (result, authoritative), MX (preference, host), A texts, NS texts);
    # None: not checked
    for server, name, rtype, result, mx, a, ns in [
        (zone.address, "fax.test", None, (0, 1), MX, [], None),  # MX in the order of the response, nothing else
        (zone.address, "nomx.fax.test", None, (2, 0), [], [], None),  # no MX (dnsmasq's answer is not authoritative)
        (zone.address, "nomx.fax.test", 1, (0, 1), [], nomx, None),  # its A records when asked for them
        (parent.address, "fax.test", None, (0, 1), MX, None, None),  # a referral followed past a dead server
        (parent.address, "mail.gone.test", None, (2, 0), None, None, [dead]),  # a referral to no reachable server
    ]:
        lookup = auth_lookup(server, name, rtype)
        assert (lookup.result, lookup.authoritative) == result, name
        assert mx is None or [(n, text) for rtype, n, _, text in lookup.records if rtype == 15] == mx, name
        assert a is None or sorted(lookup.texts(1)) == a, name
        assert ns is None or lookup.texts(2) == ns, name  # the referral's records stay with the client
    # The client asks for the type it is told, MX unless told otherwise.
    assert zone.log().count("query[MX] nomx.fax.test") == 1 and zone.log().count("query[A] nomx.fax.test") == 1
