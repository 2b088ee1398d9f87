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


def auth_lookup(server: str, domain: str) -> Lookup:
    build = Path(os.environ.get("CVSMTPGW_BUILD") or REPO_ROOT / "build")
    out = subprocess.run([str(build / "tests" / "test_helper"), "dns-lookup", server, domain],
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


def test_mx_records_stand_in_the_order_of_the_response(servers):
    zone, _, _ = servers
    aa, rows = dns_servers.response_records(zone.address, "fax.test")
    in_response = [tuple(text.split()) for _, rtype, text in rows if rtype == "MX"]
    assert aa and in_response == [(str(p), f"{host}.") for p, host in MX]

    lookup = auth_lookup(zone.address, "fax.test")
    assert (lookup.result, lookup.authoritative) == (0, 1)
    assert [(number, text) for rtype, number, _, text in lookup.records if rtype == 15] == MX
    assert lookup.texts(1) == ["127.31.7.50"]


def test_a_domain_without_mx_gives_its_a_records(servers):
    zone, _, _ = servers
    _, rows = dns_servers.response_records(zone.address, "nomx.fax.test")
    lookup = auth_lookup(zone.address, "nomx.fax.test")
    assert (lookup.result, lookup.authoritative) == (0, 1)
    assert lookup.texts(15) == []
    in_response = [text for _, rtype, text in rows if rtype == "A"]
    assert sorted(in_response) == ["127.31.7.40", "127.31.7.41", "127.31.7.42"]
    assert lookup.texts(1) == in_response


def test_a_referral_is_followed_past_a_dead_server_to_the_authoritative_one(servers):
    zone, parent, dead = servers
    aa, rows = dns_servers.response_records(parent.address, "fax.test")
    assert not aa and rows == [("authority", "NS", f"{dead}."), ("authority", "NS", f"{zone.address}.")]

    lookup = auth_lookup(parent.address, "fax.test")
    assert (lookup.result, lookup.authoritative) == (0, 1)
    assert [(number, text) for rtype, number, _, text in lookup.records if rtype == 15] == MX


def test_a_referral_to_no_reachable_server_ends_with_2(servers):
    _, parent, dead = servers
    lookup = auth_lookup(parent.address, "mail.gone.test")
    assert (lookup.result, lookup.authoritative) == (2, 0)
    assert lookup.texts(2) == [dead]  # the referral's records stay with the client
