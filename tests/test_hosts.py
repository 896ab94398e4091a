"""Many hosts: serving and calling over IPv6, replicas behind a list or a name, failover and round
robin in both clients, and the command line's ping of every address."""

import asyncio
import socket
import subprocess
import sys
import threading
import time

import pytest

from conftest import free_port, start_served, stop_served
from fuzzing import REQUEST
from zelk import aio
from zelk.client import ConnectionLost, Unreachable, connect
from zelk.server import serve


def loopback_has_ipv6():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


needs_ipv6 = pytest.mark.skipif(not loopback_has_ipv6(), reason="this machine's loopback has no ::1")


class Tag:
    def __init__(self, tag):
        self.tag = tag

    def where(self):
        return self.tag

    def add(self, a, b):
        return a + b


def served_at(host, port=None, tag="", **settings):
    port = port or free_port(host)
    serve(Tag(tag), "calc", host=host, port=port, thread=True, **settings)
    return port


# ---- what a client is given ---------------------------------------------------------------------------


@pytest.mark.parametrize("connect_to", [connect, aio.connect], ids=["blocking", "aio"])
@pytest.mark.parametrize("settings, error, text", [
    ({"host": 5}, TypeError, "Argument 'host' has incorrect type (expected str or list[str], got int)"),
    ({"host": []}, ValueError, "host: the list names no host"),
    ({"host": ["a", 1]}, TypeError, "host: every item must be a str, not int"),
    ({"host": ["a", ""]}, ValueError, "host: the list holds an empty name"),
    ({"balance": "rr"}, ValueError, "balance must be \"first\" or \"round_robin\", not 'rr'"),
])
def test_hosts_and_balance_are_checked(connect_to, settings, error, text):
    with pytest.raises(error) as info:
        connect_to("calc", **settings)
    assert str(info.value) == text


# ---- IPv6 on the server: names, limits, TLS, keys, browsers -------------------------------------------


@needs_ipv6
def test_a_server_on_ipv6_names_itself_and_its_clients_by_host_and_port(capsys):
    port = served_at("::1")
    assert f"calc is serving at [::1]:{port}" in capsys.readouterr().out  # printed before serve returned
    with connect("calc", host="::1", port=port, timeout=30) as calc:
        assert calc.add(1, 2) == 3
        here = calc.laddr[:2]
        assert calc.client() == {"host": "::1", "port": here[1]}
        assert here in calc.stats()


@needs_ipv6
@pytest.mark.parametrize("listen, dial, shown", [("::1", "::1", "::1"), ("::", "127.0.0.1", "127.0.0.1")],
                         ids=["ipv6", "ipv4-on-dual-stack"])
def test_a_host_s_slots_and_the_refusal_count_by_its_address(listen, dial, shown):
    port = served_at(listen, max_connections_per_host=1, first_message_timeout=None)
    with connect("calc", host=dial, port=port, timeout=30) as first:
        assert first.add(1, 2) == 3 and first.client()["host"] == shown
        second = connect("calc", host=dial, port=port, timeout=30, errors="raise")
        with pytest.raises(Unreachable, match=f"max_connections_per_host \\(1\\) are open from {shown}"):
            second.add(1, 2)


@needs_ipv6
def test_tls_keys_and_browsers_over_ipv6(certs):
    port = served_at("::1", ssl_context=certs.server, authkey=b"key")
    with connect("calc", host="[::1]", port=port, timeout=30, authkey=b"key", ssl_context=certs.client) as calc:
        assert calc.add(1, 2) == 3
    browsers = served_at("::1")
    with socket.create_connection(("::1", browsers), timeout=30) as sock:  # a page of http://[::1]:port is loopback's
        sock.sendall(REQUEST[:-2] + f"Origin: http://[::1]:{browsers}\r\n\r\n".encode())
        assert sock.recv(65536).startswith(b"HTTP/1.1 101")


# ---- replicas behind a list or a name -------------------------------------------------------------------


async def aio_calls(name, host, port, method, count, balance):
    async with aio.connect(name, host=host, port=port, timeout=30, balance=balance) as proxy:
        return [await getattr(proxy, method)() for _ in range(count)]


def calls(name, host, port, method, count, balance, client):
    if client == "aio":
        return asyncio.run(aio_calls(name, host, port, method, count, balance))
    with connect(name, host=host, port=port, timeout=30, balance=balance) as proxy:
        return [getattr(proxy, method)() for _ in range(count)]


@needs_ipv6
@pytest.mark.parametrize("client", ["blocking", "aio"])
def test_replicas_on_both_families_behind_one_list(client):
    port = served_at("127.0.0.1", tag="v4")
    served_at("::1", port, tag="v6")
    assert set(calls("calc", ["::1", "127.0.0.1"], port, "where", 4, "first", client)) == {"v6"}
    assert set(calls("calc", ["::1", "127.0.0.1"], port, "where", 4, "round_robin", client)) == {"v4", "v6"}
    # The first that accepts: nothing listens on 127.0.0.9, which costs a refused connection.
    assert calls("calc", ["127.0.0.9", "::1"], port, "where", 2, "first", client) == ["v6", "v6"]


def test_localhost_resolving_to_both_families():
    families = {info[0] for info in socket.getaddrinfo("localhost", None, 0, socket.SOCK_STREAM)}
    if families != {socket.AF_INET, socket.AF_INET6} or not loopback_has_ipv6():
        pytest.skip("localhost resolves to one family here")
    port = served_at("127.0.0.1", tag="v4")
    served_at("::1", port, tag="v6")
    assert set(calls("calc", "localhost", port, "where", 4, "round_robin", "blocking")) == {"v4", "v6"}


REPLICA = """
import os, sys
from zelk.server import serve

class Replica:
    def work(self, token):
        with open(sys.argv[2], "a") as log:  # every call that ran, on this replica
            log.write(token + "\\n")
        return os.getpid()

    def die(self, token):
        self.work(token)
        os._exit(1)

serve(Replica(), "replica", host=sys.argv[3], port=int(sys.argv[1]))
"""


class Replicas:
    """Three servers of one service, on 127.0.0.1, 127.0.0.2 and 127.0.0.3, at one port, each a process."""

    hosts = ["127.0.0.1", "127.0.0.2", "127.0.0.3"]

    def __init__(self, folder):
        self.port, self.folder, self.procs = free_port(), folder, {}
        for host in self.hosts:
            self.start(host)

    def start(self, host):
        if host in self.procs:
            stop_served(self.procs[host])  # reaped, if it died
        self.procs[host] = start_served(REPLICA, self.port, str(self.folder / host), host, host=host)

    def kill(self, host):
        stop_served(self.procs[host])

    def pid(self, host):
        return self.procs[host].pid

    def ran(self):
        """Every token a replica's work ran for, with the replica's host, as many times as it ran."""
        return [(token, host) for host in self.hosts if (self.folder / host).exists()
                for token in (self.folder / host).read_text().split()]


@pytest.fixture(scope="module")
def replicas(tmp_path_factory):
    group = Replicas(tmp_path_factory.mktemp("replicas"))
    yield group
    for host in group.hosts:
        group.kill(host)


@pytest.mark.parametrize("client", ["blocking", "aio"])
def test_round_robin_spreads_calls_over_every_replica(replicas, client):
    pids = calls("replica", replicas.hosts, replicas.port, "getpid", 6, "round_robin", client)
    assert {pid for pid, _ in pids} == {replicas.pid(host) for host in replicas.hosts}


def test_a_failed_send_goes_to_the_next_address_and_a_lost_answer_is_not_sent_again(replicas):
    first, second = replicas.hosts[:2]
    with connect("replica", host=[first, second], port=replicas.port, timeout=30, errors="raise") as proxy:
        assert proxy.work("before") == replicas.pid(first)
        replicas.kill(first)
        time.sleep(0.002)  # past the moment after an answer in which a connection is taken as open unasked
        assert proxy.work("resent") == replicas.pid(second)
        with pytest.raises(ConnectionLost):
            proxy.die("lost")
    ran = replicas.ran()
    assert ran.count(("resent", second)) == 1 and [token for token, _ in ran].count("resent") == 1
    assert [token for token, _ in ran].count("lost") == 1
    replicas.start(first), replicas.start(second)


def call_while_one_dies(replicas, client):
    """8 callers call work() on every replica in turn until each has made 20 calls since the second
    replica was killed; each call's token, and the pid that answered it or the error it raised."""
    outcomes, warm, killed = {}, threading.Event(), threading.Event()

    def calls_of(i):  # the tokens of caller i, until it has made 20 calls since the kill
        after = 0
        for n in range(2000):  # bounded, should the kill never come
            yield f"{client}-{i}-{n}"
            if n == 10:
                warm.set()
            after += killed.is_set()
            if after >= 20:
                return

    def kill_when_warm():
        warm.wait(60)
        replicas.kill(replicas.hosts[1])
        killed.set()

    killer = threading.Thread(target=kill_when_warm)
    killer.start()
    settings = dict(host=replicas.hosts, port=replicas.port, timeout=30, balance="round_robin")
    if client == "aio":
        async def run():
            async with aio.connect("replica", **settings) as proxy:
                async def caller(i):
                    for token in calls_of(i):
                        try:
                            outcomes[token] = await proxy.work(token)
                        except (ConnectionLost, Unreachable) as e:
                            outcomes[token] = e
                await asyncio.gather(*(caller(i) for i in range(8)))
        asyncio.run(run())
    else:
        with connect("replica", errors="raise", **settings) as proxy:
            def caller(i):
                for token in calls_of(i):
                    try:
                        outcomes[token] = proxy.work(token)
                    except (ConnectionLost, Unreachable) as e:
                        outcomes[token] = e
            threads = [threading.Thread(target=caller, args=(i,)) for i in range(8)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
    killer.join()
    return outcomes


@pytest.mark.parametrize("client", ["blocking", "aio"])
def test_a_replica_killed_under_8_callers_loses_no_call_and_runs_none_twice(replicas, client):
    outcomes = call_while_one_dies(replicas, client)
    ran = [(token, host) for token, host in replicas.ran() if token.startswith(f"{client}-")]
    assert len({token for token, _ in ran}) == len(ran), "a call ran twice"
    where = {replicas.pid(host): host for host in replicas.hosts}
    lost = {token for token, outcome in outcomes.items() if isinstance(outcome, Exception)}
    answered = {(token, where[pid]) for token, pid in outcomes.items() if token not in lost}
    assert answered <= set(ran)  # each answered call ran once, where it was answered
    assert all(isinstance(outcomes[token], ConnectionLost) for token in lost)
    # Lost are the calls the replica took with it: a caller's call in flight, or sent before its death
    # was seen (at most one or two per caller); once it is seen, calls go elsewhere.
    assert len(lost) <= 16

    killed = replicas.hosts[1]
    replicas.start(killed)
    seen, deadline = set(), time.monotonic() + 90  # it is tried again once its back-off is over
    with connect("replica", host=replicas.hosts, port=replicas.port, timeout=30, balance="round_robin",
                 errors="raise") as proxy:
        while replicas.pid(killed) not in seen and time.monotonic() < deadline:
            seen.add(proxy.getpid()[0])
            time.sleep(0.05)
    assert replicas.pid(killed) in seen


# ---- the command line --------------------------------------------------------------------------------


def test_ping_answers_for_every_address(replicas):
    def ping(*hosts):
        args = [arg for host in hosts for arg in ("--host", host)]
        return subprocess.run([sys.executable, "-m", "zelk", "ping", "replica", *args, "--port", str(replicas.port),
                               "--timeout", "10"], capture_output=True, text=True, timeout=60)

    result = ping(*replicas.hosts, "127.0.0.4")
    lines = result.stdout.splitlines()
    assert result.returncode == 0 and len(lines) == 4
    for host, line in zip(replicas.hosts, lines):
        assert line.startswith(f"replica at {host}:{replicas.port} answered in ")
    assert lines[3].startswith(f"service 'replica' is not reachable at 127.0.0.4:{replicas.port} (")
    result = ping("127.0.0.4", "127.0.0.5")
    assert result.returncode == 1 and len(result.stdout.splitlines()) == 2
    assert result.stderr == "zelk ping: no address of 'replica' answered\n"
