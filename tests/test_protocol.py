"""The module body of zelk.protocol, BytePacker's MessagePack packing and its value hooks."""

import collections
import datetime
import decimal
import fractions
import gc
import os
import pickle
import random
import subprocess
import sys
import threading

import msgpack
import numpy as np
import pytest

from zelk import protocol
from zelk.protocol import BytePacker, dump, load

RECORD = (0, 7, "calc.add", (1, 2), {})


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y

    def __eq__(self, other):
        return type(other) is Point and (self.x, self.y) == (other.x, other.y)


class Unpicklable:
    def __reduce__(self):
        raise ValueError("no way")


class NamedLikeList:
    pass


NamedLikeList.__name__ = "list"  # a user class whose name is a builtin's


Pair = collections.namedtuple("Pair", "a b")


class Tags(set):
    pass


def same(a, b):
    """Equal values with the same types all the way down."""
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b, equal_nan=True)
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def round_trip(value):
    return BytePacker.unpack(BytePacker.pack(value))


# ---- the module body ---------------------------------------------------------------------------


def test_module_names_in_body_order():
    names = [n for n in vars(protocol) if not n.startswith("__")]
    assert names == ["base64", "builtins", "hashlib", "json", "pickle", "struct", "SharedMemory", "Any",
                     "Callable", "os", "udump", "uload", "msgpack", "np", "BrillPrint", "log", "REQUEST",
                     "RESPONSE", "SOCKET_RECV_SIZE", "BytePacker", "dump", "load"]
    assert (protocol.REQUEST, protocol.RESPONSE, protocol.SOCKET_RECV_SIZE) == (0, 1, 65536)
    assert protocol.np is np and protocol.msgpack is msgpack


def test_module_printer():
    from zelk.scribe import BrillPrint

    assert type(protocol.log) is BrillPrint
    assert protocol.log.title == "ZELK.PROTO"
    assert protocol.log.exclude == ["zelk", "vantor", "melix"]


def test_byte_packer_class_shape():
    assert BytePacker.__bases__ == (object,)
    members = [n for n in vars(BytePacker) if not n.startswith("__")]
    assert members == ["pack", "unpack", "encode", "decode"]
    assert all(isinstance(vars(BytePacker)[n], classmethod) for n in members)
    assert BytePacker.pack.__qualname__ == "BytePacker.pack"
    assert BytePacker.encode.__doc__.startswith("Encode obj")
    assert "cannot create an OBJECT array from memory buffer" in BytePacker.encode.__doc__
    assert BytePacker.pack.__annotations__ == {"request": "Any"}
    assert BytePacker.unpack.__annotations__ == {"response": "bytearray | bytes"}
    for alias, method in ((dump, BytePacker.pack), (load, BytePacker.unpack)):
        assert alias.__self__ is BytePacker and alias.__func__ is method.__func__


def test_arguments_by_keyword_and_wrong_counts():
    assert BytePacker.unpack(response=BytePacker.pack(request=RECORD)) == RECORD
    assert same(BytePacker.decode(obj=BytePacker.encode(obj=(1,))), (1,))
    with pytest.raises(TypeError):
        BytePacker.pack()
    with pytest.raises(TypeError):
        BytePacker.pack(1, 2)
    with pytest.raises(TypeError):
        BytePacker.unpack(payload=b"\x90")


SERIALIZER_CASES = [
    (None, "pickle", False),
    ("default", "pickle", False),
    ("DILL", "pickle", False),
    ("dill ", "pickle", False),
    ("dill", "dill", True),
]


@pytest.mark.parametrize("value, module, dill_bound", SERIALIZER_CASES)
def test_serializer_choice_at_import(value, module, dill_bound):
    if module == "dill":
        pytest.importorskip("dill")
    env = {k: v for k, v in os.environ.items() if k != "SERIALIZER"}
    if value is not None:
        env["SERIALIZER"] = value
    assert _serializer_in_subprocess(env, block_dill=False) == (f"{module}.dumps {module}.loads", dill_bound)


def test_dill_requested_but_missing_falls_back_to_pickle():
    env = dict(os.environ, SERIALIZER="dill")
    assert _serializer_in_subprocess(env, block_dill=True) == ("pickle.dumps pickle.loads", False)


def _serializer_in_subprocess(env, block_dill):
    code = (
        "import sys\n"
        + ("sys.modules['dill'] = None\n" if block_dill else "")
        + "import zelk.protocol as p\n"
        "print(p.udump.__module__.split('.')[0] + '.' + p.udump.__name__,"
        " p.uload.__module__.split('.')[0] + '.' + p.uload.__name__, 'dill' in vars(p))\n"
        "assert p.BytePacker.unpack(p.BytePacker.pack(1j)) == 1j\n"
    )
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True).stdout
    *pair, bound = out.split()
    return " ".join(pair).replace("_pickle.", "pickle."), bound == "True"


# ---- the packed form ---------------------------------------------------------------------------


def test_call_record_is_packed_as_a_tagged_map_byte_for_byte():
    assert BytePacker.pack(RECORD) == (
        b"\x82\xa4data\x95\x00\x07\xa8calc.add\x82\xa4data\x92\x01\x02\xa5dtype\xa5tuple\x80\xa5dtype\xa5tuple"
    )


def test_array_map_layout():
    a = np.arange(6, dtype="<f8").reshape(2, 3)
    raw = msgpack.unpackb(BytePacker.pack(a))
    assert list(raw) == ["data", "dtype", "shape"]
    assert raw["data"] == a.tobytes() and len(raw["data"]) == 48
    assert raw["dtype"] == "<f8"
    assert raw["shape"] == {"data": [2, 3], "dtype": "tuple"}


@pytest.mark.parametrize(
    "value, dtype",
    [(1 + 2j, "complex"), (datetime.date(2024, 5, 1), "date"), (Point(1, 2), "Point"), (np.float64(1.5), "float64"),
     (Pair(1, 2), "Pair"), (Tags({1}), "Tags")],
)
def test_serialized_object_map(value, dtype):
    raw = msgpack.unpackb(BytePacker.pack(value))
    assert raw == {"data": pickle.dumps(value), "dtype": dtype}


# ---- round trips -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value",
    [
        None, True, False, 0, -(2**63), 2**64 - 1, 1.5, float("inf"), "", "text \u00e9\U0001F600", b"", b"\x00\xff",
        [], [(1, 2), (3, (4, 5))], {1: "a", 2: (3,), None: 0.5}, (), ((1, (2, ())),), {1, 2, 3}, set(),
        ([(1, [(2,)])],), {"k": {"n": [{1, 2}]}}, RECORD, (1, 7, {"result": [1.5, (None,)]}),
        1 + 2j, complex(0, -1), np.float64(2.5), np.int64(-3), np.float32(0.25), np.uint8(7),
        datetime.date(2024, 5, 1), datetime.datetime(2024, 5, 1, 12, 30, 15, 123), datetime.timedelta(seconds=3),
        decimal.Decimal("1.10"), fractions.Fraction(2, 3), Point(1, (2, 3)), [Point(0, 0), {"p": Point(5, 6)}],
        Pair(1, (2, 3)), Tags({"x"}), {(1, 2): "tuple key"},
    ],
    ids=repr,
)
def test_round_trip_keeps_types(value):
    back = round_trip(value)
    assert same(back, value), back


def test_bytearray_and_memoryview_come_back_as_bytes():
    assert same(round_trip(bytearray(b"ab")), b"ab")
    assert same(round_trip([memoryview(b"cd")]), [b"cd"])


def test_unpack_accepts_bytearray_and_memoryview():
    packed = BytePacker.pack(RECORD)
    assert load(bytearray(packed)) == load(memoryview(packed)) == RECORD


NUMERIC = ["?", "i1", "u1", "<i2", "<u2", "<i4", ">i4", "<u4", "<i8", "<u8", "<f2", "<f4", "<f8", ">f8", "g",
           "<c8", "<c16", "G"]


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("shape", [(), (0,), (5,), (2, 3), (2, 0, 4), (3, 1, 2)])
def test_array_round_trip(dtype, shape):
    a = (np.arange(int(np.prod(shape))) % 5).astype(dtype).reshape(shape)
    back = round_trip(a)
    assert same(back, a)
    assert not back.flags.writeable and back.flags.c_contiguous


@pytest.mark.parametrize(
    "make",
    [lambda a: a.T, lambda a: a[:, ::2], lambda a: a[::-1], lambda a: a[:0, ::2], lambda a: np.asfortranarray(a),
     lambda a: a[1:, 1]],
    ids=["transposed", "strided", "reversed", "empty strided", "fortran", "column"],
)
def test_non_contiguous_arrays_travel_as_c_order_copies(make):
    view = make(np.arange(24.0).reshape(4, 6))
    raw = msgpack.unpackb(BytePacker.pack(view))
    assert raw["data"] == np.ascontiguousarray(view).tobytes()
    back = round_trip(view)
    assert same(back, np.ascontiguousarray(view)) and back.flags.c_contiguous


def test_array_subclass_comes_back_as_an_array():
    class Tagged(np.ndarray):
        pass

    a = np.arange(6.0).reshape(2, 3).view(Tagged)
    for value in (a, a.T):
        assert same(round_trip(value), np.ascontiguousarray(value).view(np.ndarray))


def test_arrays_inside_records():
    a, b = np.ones((2, 2), "<i4"), np.zeros(0)
    back = round_trip((1, 7, {"x": [a, (b, a.T)]}))
    assert same(back, (1, 7, {"x": [a, (b, np.ascontiguousarray(a.T))]}))


def test_restored_array_shares_the_received_buffer():
    a = np.arange(1000.0)
    back = round_trip(a)
    while isinstance(back, np.ndarray):
        back = back.base
    assert type(back) is bytes and back == a.tobytes()


# ---- what MessagePack refuses ------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, error",
    [(frozenset({1}), TypeError), (2**64, OverflowError), (-(2**63) - 1, OverflowError), (NamedLikeList(), TypeError),
     ((1, frozenset()), TypeError), (np.bool_(True), TypeError)],
    ids=["frozenset", "big int", "small int", "class named list", "nested frozenset", "numpy bool named bool"],
)
def test_values_left_to_messagepack_raise_its_errors(value, error):
    if not isinstance(value, tuple):
        assert BytePacker.encode(value) is value
    with pytest.raises(error):
        BytePacker.pack(value)


# ---- failures turned into values ----------------------------------------------------------------


def test_encode_failure_is_logged_and_replaced(capsys):
    back = round_trip((1, Unpicklable(), "after"))
    assert back == (1, "@ENCODE: Unpicklable ---> no way", "after")
    out = capsys.readouterr().out
    assert "[ZELK.PROTO][ERROR\U0001F92C] @ENCODE: Unpicklable ---> no way" in out


def test_object_array_is_logged_on_receipt(capsys):
    a = np.array([(1, 2), (3, 4, 5)], dtype=object)
    back = round_trip([a, 1])
    assert back == ["@DECODE: numpy ---> cannot create an OBJECT array from memory buffer", 1]
    assert "[ERROR\U0001F92C] @DECODE: numpy ---> cannot create an OBJECT array" in capsys.readouterr().out


def test_failures_are_logged_while_the_exception_is_handled(monkeypatch):
    seen = []

    def error(message):
        seen.append((message, sys.exc_info()[1]))
        return "replaced"

    monkeypatch.setattr(protocol.log, "error", error, raising=False)
    assert BytePacker.encode(Unpicklable()) == "replaced"
    assert BytePacker.decode({"data": b"abc", "dtype": "<f8", "shape": (1,)}) == "replaced"
    (m1, e1), (m2, e2) = seen
    assert m1 == "@ENCODE: Unpicklable ---> no way" and type(e1) is ValueError and str(e1) == "no way"
    assert m2.startswith("@DECODE: numpy ---> ") and type(e2) is ValueError and str(e2) in m2
    assert sys.exc_info() == (None, None, None)


# ---- decoding maps that came from elsewhere ------------------------------------------------------


@pytest.mark.parametrize(
    "raw",
    [
        {"data": b"\0" * 8, "dtype": "<f8", "shape": 3},
        {"data": b"\0" * 8, "dtype": "<f8", "shape": "x"},
        {"data": b"\0" * 8, "dtype": "<f8", "shape": {"a": 1}},
        {"data": b"\0" * 8, "dtype": "<f8", "shape": [2**62, 2**62]},
        {"data": b"\0" * 8, "dtype": "zz", "shape": [1]},
        {"data": b"\0" * 8, "dtype": 5, "shape": [1]},
        {"data": b"\0" * 8, "dtype": "|V0", "shape": [1]},
        {"data": b"\0" * 8, "dtype": "O", "shape": [1]},
        {"data": b"\0" * 8, "dtype": [["a", "O"]], "shape": [1]},
        {"data": b"\0" * 7, "dtype": "<f8", "shape": [1]},
        {"data": "text", "dtype": "<f8", "shape": [1]},
        {"data": 5, "dtype": "<f8", "shape": [1]},
        {"data": None, "dtype": "<f8", "shape": None},
    ],
)
def test_hostile_array_maps_are_logged_not_raised(raw, capsys):
    back = BytePacker.unpack(msgpack.packb(raw))
    assert isinstance(back, str) and back.startswith("@DECODE: numpy ---> ")
    assert back in capsys.readouterr().out


@pytest.mark.parametrize(
    "raw, expected",
    [
        ({"data": [1, 2], "dtype": "tuple"}, (1, 2)),
        ({"data": [1, 1], "dtype": "set", "extra": 0}, {1}),
        ({"data": {"a": 1}, "dtype": "tuple"}, ("a",)),
        ({"data": [1], "dtype": "list"}, TypeError),
        ({"data": 3, "dtype": "tuple"}, TypeError),
        ({"data": [[1]], "dtype": "set"}, TypeError),
        ({"data": b"not a pickle", "dtype": "Point"}, pickle.UnpicklingError),
        ({"data": None, "dtype": "x"}, TypeError),
        ({"data": 1}, {"data": 1}),
        ({"dtype": 1, "shape": 2}, {"dtype": 1, "shape": 2}),
    ],
)
def test_user_maps_with_the_tag_keys(raw, expected):
    if isinstance(expected, type):
        with pytest.raises(expected):
            BytePacker.unpack(msgpack.packb(raw))
    else:
        assert same(BytePacker.unpack(msgpack.packb(raw)), expected)


def test_decode_leaves_other_values_alone():
    for value in (1, "data", [1], {"a": 1}, None):
        assert BytePacker.decode(value) is value


def test_decode_honours_dict_subclass_lookups():
    class Defaulting(dict):
        def __contains__(self, key):
            return key in ("data", "dtype")

        def __missing__(self, key):
            return {"data": [4, 5], "dtype": "tuple"}[key]

    assert BytePacker.decode(Defaulting()) == (4, 5)


def test_subclass_hooks_are_used():
    class Loud(BytePacker):
        calls = []

        @classmethod
        def encode(cls, obj):
            cls.calls.append(("encode", obj))
            return super().encode(obj)

        @classmethod
        def decode(cls, obj):
            cls.calls.append(("decode", obj))
            return super().decode(obj)

    assert Loud.unpack(Loud.pack((1,))) == (1,)
    assert Loud.calls == [("encode", (1,)), ("decode", {"data": [1], "dtype": "tuple"})]
    assert BytePacker.unpack(BytePacker.pack((2,))) == (2,) and len(Loud.calls) == 2


def test_hooks_replaced_on_the_class_are_used(monkeypatch):
    monkeypatch.setattr(BytePacker, "encode", classmethod(lambda cls, obj: "E"))
    monkeypatch.setattr(BytePacker, "decode", classmethod(lambda cls, obj: "D"))
    assert BytePacker.pack((1,)) == msgpack.packb("E")
    assert load(msgpack.packb({})) == "D"


# ---- malformed input ---------------------------------------------------------------------------


def _fuzz_inputs(rng):
    good = [BytePacker.pack(v) for v in (RECORD, (1, 7, [np.arange(6.0).reshape(2, 3), {3, 4}]),
                                         {"a": [(1, 2.5, None), b"xy"], 5: -1})]
    for packed in good:
        for i in range(len(packed)):
            yield packed[:i]
        for _ in range(300):
            flipped = bytearray(packed)
            for _ in range(rng.randint(1, 4)):
                flipped[rng.randrange(len(flipped))] = rng.randrange(256)
            yield bytes(flipped)
    for _ in range(3000):
        yield rng.randbytes(rng.randint(0, 64))
    for _ in range(500):
        yield bytes([rng.choice([0x80, 0x81, 0x90, 0xDC, 0xDE, 0xC4, 0xD9, 0xC1])]) + rng.randbytes(rng.randint(0, 16))


def test_malformed_input_raises_or_decodes(capsys):
    rng = random.Random(20240501)
    outcomes = collections.Counter()
    for data in _fuzz_inputs(rng):
        try:
            BytePacker.unpack(data)
            outcomes["value"] += 1
        except Exception as e:
            outcomes[type(e).__name__] += 1
    capsys.readouterr()
    assert outcomes["value"] > 0 and sum(outcomes.values()) > 4000
    assert outcomes["ExtraData"] > 0 and outcomes["ValueError"] + outcomes["FormatError"] > 0


# ---- threads and references --------------------------------------------------------------------


def test_many_threads_share_the_packer():
    barrier, errors = threading.Barrier(8), []
    shared = (1, 7, {"a": np.arange(12, dtype="<i2").reshape(3, 4).T, "s": {1, 2}, "p": Point(1, 2)})

    def work(i):
        try:
            barrier.wait()
            for n in range(400):
                value = (0, n, f"svc.m{i}", (i, (n,)), {"k": [n, {i}]})
                assert same(load(dump(value)), value)
                back = BytePacker.unpack(BytePacker.pack(shared))
                assert back[2]["p"] == shared[2]["p"] and np.array_equal(back[2]["a"], shared[2]["a"])
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors


def test_packing_a_set_another_thread_changes():
    shared, stop, errors = set(range(100)), threading.Event(), []

    def mutate():
        n = 0
        while not stop.is_set():
            shared.add(n % 200)
            shared.discard((n * 7) % 200)
            n += 1

    t = threading.Thread(target=mutate)
    t.start()
    try:
        for _ in range(3000):
            try:
                assert isinstance(load(dump((shared,)))[0], set)
            except RuntimeError as e:  # a set changed during iteration is an error, not a crash
                errors.append(e)
    finally:
        stop.set()
        t.join()


class NullStream:
    def write(self, text):
        return len(text)

    def flush(self):
        pass


def test_no_reference_leaks(monkeypatch):
    psutil = pytest.importorskip("psutil")
    monkeypatch.setattr(sys, "stdout", NullStream())
    record, array, point = (0, 1, "m", (1, {2}), {"k": 1j}), np.arange(64.0).reshape(8, 8).T, Point(1, 2)
    calls = [
        lambda: load(dump(record)),
        lambda: load(dump(array)),
        lambda: load(dump(point)),
        lambda: load(dump([Unpicklable()])),
        lambda: load(msgpack.packb({"data": b"x", "dtype": "<f8", "shape": [1]})),
        lambda: pytest.raises(TypeError, dump, frozenset()),
        lambda: pytest.raises(ValueError, load, b"\x93\x01"),
    ]
    process = psutil.Process()
    for fn in calls:
        for _ in range(2_000):
            fn()
    gc.collect()
    before = process.memory_info().rss
    counts = [sys.getrefcount(o) for o in (record, array, point, record[3], BytePacker)]
    for fn in calls:
        for _ in range(15_000):
            fn()
    gc.collect()
    assert [sys.getrefcount(o) for o in (record, array, point, record[3], BytePacker)] == counts
    assert process.memory_info().rss - before < 4 * 1024 * 1024
