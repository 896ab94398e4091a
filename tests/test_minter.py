"""zelk.minter: SFID and TSID generators, strfid and generator."""

import functools
import inspect
import signal
import types
from datetime import datetime

import pytest

from conftest import run_in_threads
import zelk.minter as minter
from zelk.minter import EPOCH, SFID, TSID, generator, strfid


def scripted(values):
    """A clock that returns `values` in turn, for an instance's private `__ts`."""
    it = iter(values)
    return lambda: next(it)


def ms(*fields):
    """Local date and time fields as whole milliseconds since the Unix epoch."""
    return int(datetime(*fields).timestamp() * 1000)


def test_module_body():
    public = [n for n in vars(minter) if not n.startswith("__")]
    assert public == ["random", "threading", "time", "datetime", "EPOCH", "IDPS", "SFID", "strfid", "TSID", "generator"]
    assert EPOCH == int(datetime(2024, 4, 1).timestamp())
    assert minter.IDPS == 9
    assert repr(SFID(1)) == repr(TSID(1)) == "id generator"
    assert "41" in SFID.__doc__ and "4095" in SFID.__doc__ and "时间戳" in SFID.__doc__
    assert TSID.__doc__ is None
    assert generator.__doc__ == (
        "\n    Generates an ID object using the provided worker ID and optional data center ID.\n"
        "    Args:\n        wid (int): The worker ID.\n"
        "        dcid (int, optional): The data center ID. Defaults to 0.\n"
        "    Returns:\n        ID: An instance of the ID generator class initialized with the given IDs.\n    "
    )
    assert SFID._SFID__ts.__qualname__ == "SFID.__ts" and TSID._TSID__ts.__name__ == "__ts"


@pytest.mark.parametrize(
    "obj, text",
    [
        (SFID, "(worker_id: 'int', datacenter_id: 'int' = 0)"),
        (SFID.getid, "(self, readable: 'bool' = False)"),
        (strfid, "(rawid: 'int')"),
        (TSID, "(wid: 'int')"),
        (TSID.getid, "(self)"),
        (generator, f"(wid: 'int' = 0, dcid: 'int' = {generator.__defaults__[1]}, gtype: 'str' = 'sf')"),
    ],
)
def test_signatures(obj, text):
    assert str(inspect.signature(obj)) == text


@pytest.mark.parametrize(
    "call, name, got",
    [
        (lambda: SFID(True), "worker_id", "bool"),
        (lambda: SFID(1, 2.0), "datacenter_id", "float"),
        (lambda: TSID(None), "wid", "NoneType"),
        (lambda: strfid("1"), "rawid", "str"),
        (lambda: generator(True), "wid", "bool"),
        (lambda: generator(gtype=b"ts"), "gtype", "bytes"),
    ],
)
def test_exact_argument_types(call, name, got):
    expected = "str" if name == "gtype" else "int"
    with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type \(expected {expected}, got {got}\)$"):
        call()


def test_sequence_alternates_and_waits_for_next_millisecond():
    t = ms(2025, 1, 2, 3, 4, 5, 678000)
    g = SFID(3, 5)
    g._SFID__ts = scripted([t, t, t, t, t, t + 1, t - 7])
    base = ((t - EPOCH) << 22) | (5 << 17) | (3 << 12)
    assert [g.getid(), g.getid()] == [base, base | 1]
    # The third ID of a millisecond spins on the clock until it moves on.
    assert g.getid() == ((t + 1 - EPOCH) << 22) | (5 << 17) | (3 << 12)
    # A clock that went back is taken as it comes, with a fresh sequence.
    assert g.getid() == ((t - 7 - EPOCH) << 22) | (5 << 17) | (3 << 12)
    assert not g._SFID__lock.locked()


def test_readable_form_digit_for_digit():
    t = ms(2025, 1, 2, 3, 4, 5, 678000)
    g = SFID(3, 5)
    g._SFID__ts = scripted([t, t])
    packed = g.getid()
    readable = g.getid(readable=True)
    assert readable == 2501020304055031678 and type(readable) is int
    assert strfid(packed) == "2501020304055030678"
    assert strfid(packed | 1) == str(readable)


@pytest.mark.parametrize("wid, dcid", [(0, 0), (3, 5), (31, 31), (7, 12)])
def test_strfid_round_trip_with_live_clock(wid, dcid):
    g = SFID(wid, dcid)
    packed = g.getid()
    text = strfid(packed)
    assert type(text) is str
    assert text[12:-4] == f"{dcid}{wid:02d}" and text[-4] == str(packed & 1)
    stamp = datetime.fromtimestamp(((packed >> 22) + EPOCH) / 1000).strftime("%y%m%d%H%M%S%f")
    assert text[:12] + text[-3:] == stamp[:15]


@pytest.mark.parametrize("make, field", [
    (SFID, "worker_id"), (lambda v: SFID(0, v), "datacenter_id"), (TSID, "wid"),
    (generator, "worker_id"), (lambda v: generator(0, v), "datacenter_id"), (lambda v: generator(v, gtype="ts"), "wid"),
])
@pytest.mark.parametrize("value", [-1, 32, 1027, 2**70])
def test_ids_outside_their_fields_are_refused(make, field, value):
    # 1027 << 12 would reach the timestamp bits, -1 would make every ID negative.
    with pytest.raises(ValueError, match=rf"^{field} must be in the range 0 to 31, got {value}$"):
        make(value)


def test_largest_ids_stay_in_their_fields():
    g = SFID(31, 31)
    g._SFID__ts = scripted([EPOCH + 5])
    assert g.getid() == 5 << 22 | 31 << 17 | 31 << 12
    assert TSID(31).getid() > 0
    with pytest.raises((OverflowError, ValueError, OSError)):
        strfid(2**200)


def test_lock_released_when_clock_fails():
    g = SFID(1)
    g._SFID__ts = lambda: 1 / 0
    with pytest.raises(ZeroDivisionError):
        g.getid()
    assert not g._SFID__lock.locked()
    del g._SFID__ts
    assert isinstance(g.getid(), int)


def test_tsid_values_and_clock():
    before = datetime.now().strftime("%y%m%d%H%M%S%f")
    text = TSID(0)._TSID__ts()
    after = datetime.now().strftime("%y%m%d%H%M%S%f")
    assert before <= text <= after and len(text) == 18
    g = TSID(3)
    first, second = g.getid(), g.getid()
    assert second > first and int(g._TSID__lastts) + 3 == second
    g._TSID__ts = scripted(["000000000000000005"] * 3 + ["000000000000000006"])
    assert g.getid() == 8 and g.getid() == 9


def test_tsid_asks_a_replaced_datetime(monkeypatch):
    class Frozen:
        ticks = iter(range(10))

        @classmethod
        def now(cls):
            return datetime(2030, 6, 7, 8, 9, 10, next(cls.ticks))

    monkeypatch.setattr(minter, "datetime", Frozen)
    g = TSID(10)
    assert [g.getid(), g.getid()] == [300607080910000000 + 10, 300607080910000001 + 10]


def test_generator():
    a, b = generator(), generator()
    assert isinstance(a.__self__, SFID) and a.__self__ is not b.__self__
    assert a.__self__._SFID__dcid == b.__self__._SFID__dcid == generator.__defaults__[1]
    assert 0 <= generator.__defaults__[1] <= 9
    ts = generator(4, gtype="ts")
    assert isinstance(ts.__self__, TSID) and ts.__self__._TSID__wid == 4
    assert generator(2, 6, "other").__self__._SFID__dcid == 6


@pytest.mark.parametrize("kind, per_thread", [(lambda: SFID(1, 2), 500), (lambda: TSID(0), 20_000)])
def test_unique_under_contention(kind, per_thread):
    g = kind()
    results = [None] * 8

    def draw(i):
        results[i] = [g.getid() for _ in range(per_thread)]

    run_in_threads(draw)
    ids = [i for r in results for i in r]
    assert len(ids) == 8 * per_thread == len(set(ids))


# Clocks that never move, built from C callables so that no Python code runs while getid waits.
STOPPED_TIME = types.SimpleNamespace(time=functools.partial(float, 1.75e9))
STOPPED_DATETIME = type("Stopped", (), {"now": staticmethod(functools.partial(datetime, 2030, 1, 1))})


@pytest.mark.parametrize(
    "name, clock, make, calls",
    [("time", STOPPED_TIME, lambda: SFID(1), 2), ("datetime", STOPPED_DATETIME, lambda: TSID(1), 1)],
)
def test_wait_on_a_stopped_clock_can_be_interrupted(monkeypatch, name, clock, make, calls):
    def stop(signum, frame):
        raise TimeoutError

    monkeypatch.setattr(minter, name, clock)
    g = make()
    for _ in range(calls):
        g.getid()
    previous = signal.signal(signal.SIGALRM, stop)
    signal.setitimer(signal.ITIMER_REAL, 0.05)
    try:
        with pytest.raises(TimeoutError):
            g.getid()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert not vars(g)[f"_{type(g).__name__}__lock"].locked()
