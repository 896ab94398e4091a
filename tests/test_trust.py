"""What a peer may rebuild and call: allowed_classes and expose, end to end and at the codec."""

import asyncio
import datetime
import fractions
import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from conftest import free_port, leaks, run_in_threads, start_served, stop_served
from zelk import aio
from zelk.client import RemoteError, connect
from zelk.protocol import AllowedClasses, ClassNotAllowed, dump
from zelk.server import serve

SERVED = """
import fractions, sys
from zelk.server import serve

class Calc:
    secret = "s3cr3t"

    def echo(self, value, **kwds):
        return value

    def _private(self, *args):
        return "private"

    class tools:
        @staticmethod
        def twice(x):
            return 2 * x

listed = dict(allowed_classes=[fractions.Fraction, "datetime.date"], expose=["echo", "tools.twice"])
serve(Calc(), alias="calc", port=int(sys.argv[1]), **(listed if sys.argv[2] == "listed" else {}))
"""

F = fractions.Fraction(1, 3)


class Touch:
    """Rebuilt, it makes a file: what a refused payload must never get to do."""

    def __init__(self, path):
        self.path = str(path)

    def __reduce__(self):
        return (open, (self.path, "w"))


@pytest.fixture(scope="module")
def ports():
    ports = {mode: free_port() for mode in ("open", "listed")}
    procs = [start_served(SERVED, port, mode) for mode, port in ports.items()]
    yield ports
    for proc in procs:
        stop_served(proc)


@pytest.mark.parametrize("carry", [
    lambda bad: ((bad,), {}),
    lambda bad: (([{"deep": (1, bad)}],), {}),
    lambda bad: ((np.array([F, bad], dtype=object),), {}),
    lambda bad: ((1,), {"extra": bad}),
], ids=["argument", "nested", "object array", "keyword"])
def test_a_refused_class_fails_its_call_unrun_and_the_connection_goes_on(ports, tmp_path, carry):
    calc = connect("calc", port=ports["listed"], errors="raise")
    args, kwds = carry(Touch(tmp_path / "ran"))
    with pytest.raises(RemoteError, match=r"ClassNotAllowed@calc\.echo.* is not in allowed_classes"):
        calc.echo(*args, **kwds)
    assert not (tmp_path / "ran").exists()
    connection = calc._client._connection
    assert calc.echo(F) == F and calc.echo(datetime.date(2024, 1, 2)) == datetime.date(2024, 1, 2)
    assert list(calc.echo(np.array([F, 1 + 2j, np.float64(2.5)], dtype=object))) == [F, 1 + 2j, 2.5]
    assert calc._client._connection is connection


def test_without_a_list_anything_is_rebuilt_as_before(ports, tmp_path):
    connect("calc", port=ports["open"]).echo(Touch(tmp_path / "ran"))
    assert (tmp_path / "ran").exists()


def test_answers_are_checked_by_the_client_and_its_connection_goes_on(ports):
    calc = connect("calc", port=ports["open"], allowed_classes=["datetime.date"], errors="raise")
    with pytest.raises(RemoteError, match="fractions.Fraction is not in allowed_classes"):
        calc.echo(F)
    connection = calc._client._connection
    assert calc.echo(datetime.date(2024, 1, 2)) == datetime.date(2024, 1, 2) and calc._client._connection is connection

    async def main():
        async with aio.connect("calc", port=ports["open"], allowed_classes=["datetime.date"]) as proxy:
            with pytest.raises(RemoteError, match="fractions.Fraction is not in allowed_classes"):
                await proxy.echo(F)
            return await asyncio.gather(*(proxy.echo(i) for i in range(5)))

    assert asyncio.run(main()) == list(range(5))


@pytest.mark.parametrize("mode, name, answer", [
    ("listed", "calc.echo", 1), ("listed", "calc.tools.twice", 2), ("listed", "calc.ping", 1),
    ("listed", "calc.secret", None), ("listed", "calc._private", None), ("listed", "calc.terminate", None),
    ("listed", "calc.__init__.__globals__", None), ("listed", "calc.tools.__init__", None),
    ("open", "calc._private", "private"), ("open", "calc.tools.twice", 2),
    ("open", "calc.secret", "TypeError@calc.secret(1) \U0001F513  'str' object is not callable"),
    ("open", "calc.__init__.__globals__", None), ("open", "calc.echo.nothing", None),
])
def test_names_a_server_answers(ports, mode, name, answer):
    result = connect("calc", port=ports[mode])._client.call(name, 1)
    if answer is None:  # an unknown attribute, whether the name exists or not
        owner, _, last = name.rpartition(".")
        answer = f'AttributeError@{name}(1) \U0001F513  "{owner}" has no attribute "{last}"'
    assert result == answer or isinstance(result, str) and result.startswith(answer)


class Holder:
    def __init__(self, value):
        self.value = value


class ShortObjectArray:  # numpy itself would leave two of its three elements unset
    def __reduce__(self):
        return (np.ndarray.__reduce__(np.empty(0, object))[0], (np.ndarray, (0,), b"b"),
                (1, (3,), np.dtype(object), False, [1]))


class FieldPastItsEnd:  # numpy itself would read beyond each item
    def __reduce__(self):
        return (np.dtype, ("f8", False, True), (3, "<", None, ("a",), {"a": (np.dtype("f8"), 100)}, 8, 1, 0))


class HugeArray:
    def __reduce__(self):
        return (np.ndarray, ((10**10,), "O"))


@pytest.mark.parametrize("value, refusal", [
    (ShortObjectArray(), "1 elements for 3"),
    (FieldPastItsEnd(), "'f8' with fields or a layout of its own"),
    (HugeArray(), "called"),
    (Holder(np.arange(3).astype("M8[s]")), "numpy.ndarray inside an object of another class"),
    (np.dtype([("a", "f8")]), "with fields or a layout of its own"),
    (np.ma.masked_array([1, 2]), "numpy.ma.core._mareconstruct is not in allowed_classes"),
])
def test_numpy_pickles_are_rebuilt_only_as_numpy_writes_them(value, refusal):
    allowed = AllowedClasses([fractions.Fraction, Holder])
    with pytest.raises(ClassNotAllowed, match=refusal):
        allowed.loads(pickle.dumps(value))
    for fine in [np.arange(6).astype("M8[ms]").reshape(2, 3).T, np.float64(1.5), np.str_("ab"), np.dtype(">i4"),
                 Holder(np.int64(7)), np.array([np.zeros(2), np.ones(3)], dtype=object)]:
        for protocol in (4, 5):  # arrays of protocol 5 travel by numpy's _frombuffer
            assert pickle.dumps(allowed.loads(pickle.dumps(fine, protocol)), 4) == pickle.dumps(fine, 4)


@pytest.mark.parametrize("data, text", [
    (b"\x80\x04\x8fr(K\x01K.", "memo index beyond its length"),  # a memo of a billion entries
    (b"\x80\x04p99999999999\n.", "memo index beyond its length"),
    (b"\x80\x05\x96\x00\x00\x00\x00\x01\x00\x00\x00xy\x94.", "shorter than its length field"),  # a 4 GiB bytearray
    (b"\x80\x04\x95\xff\xff\xff\xff\x00\x00\x00\x00N.", "frame longer than the pickle"),
    (b"\x80\x02\x82\xf0.", "copyreg extension code is not in allowed_classes"),  # its cache skips find_class
])
def test_what_a_pickle_asks_for_is_screened_first(data, text):
    with pytest.raises(pickle.UnpicklingError, match=text):
        AllowedClasses([]).loads(data)


def test_dill_does_not_bypass_the_list():
    pytest.importorskip("dill")
    code = textwrap.dedent("""
        import fractions, dill, zelk.protocol as p
        allowed = p.AllowedClasses([fractions.Fraction])
        assert allowed.loads(dill.dumps(fractions.Fraction(1, 2))) == fractions.Fraction(1, 2)
        try:
            allowed.unpack(p.dump([1, lambda: open("ran", "w")]))
        except p.ClassNotAllowed as e:
            print(e.value, e)
    """)
    out = subprocess.run([sys.executable, "-c", code], env=os.environ | {"SERIALIZER": "dill"}, capture_output=True,
                         text=True, check=True).stdout
    assert out.startswith("[1, None] dill._dill.") and "is not in allowed_classes" in out


def test_an_open_server_says_so_once():
    code = textwrap.dedent("""
        import socket
        from zelk.server import serve
        for i, (host, settings) in enumerate([("0.0.0.0", {}), ("127.0.0.1", {}), ("0.0.0.0", {"authkey": b"k"}),
                                              ("0.0.0.0", {"allowed_classes": []})]):
            with socket.socket() as s:  # a port free on every address, not only on loopback
                s.bind((host, 0))
                port = s.getsockname()[1]
            serve(type("Served", (), {})(), f"s{i}", host, port, thread=True, **settings)
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    warnings = [line for line in out.splitlines() if "can run code in this process" in line]
    assert len(warnings) == 1 and "s0 at 0.0.0.0:" in warnings[0] and "is open beyond this machine" in warnings[0]


@pytest.mark.parametrize("settings, error, text", [
    ({"expose": "echo"}, TypeError, "expose must be an iterable of method names, not str"),
    ({"expose": ["tools._x"]}, ValueError, "expose: 'tools._x' names a private attribute"),
    ({"expose": ["a..b"]}, ValueError, "expose: 'a..b' is not a dotted attribute name"),
    ({"allowed_classes": "fractions.Fraction"}, TypeError, "allowed_classes must be an iterable"),
    ({"allowed_classes": ["fractions.Nope"]}, ValueError, "allowed_classes: module fractions has no Nope"),
    ({"allowed_classes": [3]}, TypeError, "allowed_classes: 3 is neither a class nor"),
])
def test_settings_are_checked_before_anything_is_bound(settings, error, text):
    with pytest.raises(error, match=text):
        serve(object(), "calc", port=free_port(), **settings)


def test_one_list_shared_by_threads_leaks_nothing():
    allowed = AllowedClasses([fractions.Fraction])
    good, bad = dump((0, 1, "f", (F, np.float64(2.0)), {})), dump([F, Touch("/nonexistent/ran")])
    def work(i):
        for _ in range(500):
            assert allowed.unpack(good) == (0, 1, "f", (F, 2.0), {})
            with pytest.raises(ClassNotAllowed) as refused:
                allowed.unpack(bad)
            assert refused.value.value == [F, None]

    left = leaks(lambda: run_in_threads(work), good, bad, allowed, calls=10)
    assert left.references == [0] * 3 and left.blocks < 100 and left.rss < 4 << 20
