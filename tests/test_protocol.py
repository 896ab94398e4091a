"""The module body of zelk.protocol, BytePacker's MessagePack packing and its value hooks."""

import builtins
import collections
import contextlib
import datetime
import decimal
import fractions
import functools
import importlib.util
import json
import os
import pickle
import random
import subprocess
import sys

import msgpack
import numpy as np
import pytest

from conftest import importable, leaks, run_in_threads
from zelk import protocol
from zelk.protocol import BytePacker, JsonPacker, compress, decompress, dump, dumps, dumpv, load, loads, loadv, profile

RECORD = (0, 7, "calc.add", (1, 2), {})
HAVE_DILL = importlib.util.find_spec("dill") is not None
Pair = collections.namedtuple("Pair", "a b")


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


def same(a, b):
    """Equal values with the same types all the way down."""
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b)
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def test_module_body():
    names = [n for n in vars(protocol) if not n.startswith("_")]  # the module body, private entry points aside
    assert names == ["base64", "builtins", "hashlib", "json", "pickle", "struct", "SharedMemory", "Any",
                     "Callable", "os", "udump", "uload", "msgpack", "np", "BrillPrint", "log", "profile", "REQUEST",
                     "RESPONSE", "SOCKET_RECV_SIZE", "BytePacker", "dump", "load", "JsonPacker", "dumps", "loads",
                     "compress", "decompress", "dumpv", "loadv", "WebSocket", "websocket", "ClassNotAllowed",
                     "AllowedClasses", "NotRebuilt", "refusing_stand_ins"]
    assert (protocol.REQUEST, protocol.RESPONSE, protocol.SOCKET_RECV_SIZE) == (0, 1, 65536)
    assert (protocol.log.title, protocol.log.exclude) == ("ZELK.PROTO", ["zelk", "vantor", "melix"])
    assert [n for n in vars(BytePacker) if not n.startswith("__")] == ["pack", "unpack", "encode", "decode"]
    assert BytePacker.__bases__ == (object,) and BytePacker.encode.__doc__.startswith("Encode obj")
    for alias, method in ((dump, BytePacker.pack), (load, BytePacker.unpack)):
        assert alias.__self__ is BytePacker and alias.__func__ is method.__func__


@pytest.mark.parametrize(
    "value, block, expected",
    [(None, False, "pickle"), ("default", False, "pickle"), ("DILL", False, "pickle"), ("dill", True, "pickle"),
     pytest.param("dill", False, "dill", marks=pytest.mark.skipif(not HAVE_DILL, reason="dill not installed"))],
)
def test_serializer_is_chosen_at_import(value, block, expected):
    env = {k: v for k, v in os.environ.items() if k != "SERIALIZER"} | ({"SERIALIZER": value} if value else {})
    code = ("import sys\n" + ("sys.modules['dill'] = None\n" if block else "") +
            "import zelk.protocol as p\n"
            "print(p.udump.__module__, p.uload.__module__, 'dill' in vars(p))\n"
            "assert p.load(p.dump(1j)) == 1j\n")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True).stdout
    dumps_module, loads_module, bound = out.split()
    assert {dumps_module.split(".")[0].lstrip("_"), loads_module.split(".")[0].lstrip("_")} == {expected}
    assert bound == str(expected == "dill")


def test_packed_forms():
    assert dump(RECORD) == b"\x82\xa4data\x95\x00\x07\xa8calc.add\x82\xa4data\x92\x01\x02\xa5dtype\xa5tuple\x80\xa5dtype\xa5tuple"
    raw = msgpack.unpackb(dump(np.arange(6, dtype="<f8").reshape(2, 3)))
    assert list(raw) == ["data", "dtype", "shape"] and len(raw["data"]) == 48 and raw["dtype"] == "<f8"
    assert raw["shape"] == {"data": [2, 3], "dtype": "tuple"}
    for value, name in ((1j, "complex"), (np.float64(1.5), "float64"), (Pair(1, 2), "Pair"), (Point(1, 2), "Point")):
        assert msgpack.unpackb(dump(value)) == {"data": pickle.dumps(value), "dtype": name}


@pytest.mark.parametrize(
    "value, expected",
    [(v, v) for v in (
        None, True, -(2**63), 2**64 - 1, 1.5, "t\u00e9\U0001F600", b"\x00\xff", [(1, 2), (3, (4, 5))],
        {1: "a", None: (3,), (1, 2): 0.5}, ((1, (2, ())),), {1, 2}, set(), ([(1, [(2,)])],), RECORD,
        1 + 2j, np.float64(2.5), np.int64(-3), np.uint8(7), datetime.date(2024, 5, 1),
        datetime.datetime(2024, 5, 1, 12, 30, 15, 123), decimal.Decimal("1.10"), fractions.Fraction(2, 3),
        [Point(0, (1,)), {"p": Point(5, 6)}], Pair(1, (2, 3)), collections.Counter("aab"),
    )] + [(bytearray(b"ab"), b"ab"), ([memoryview(b"cd")], [b"cd"])],
    ids=repr,
)
def test_round_trip_keeps_types(value, expected):
    assert same(load(dump(value)), expected)


NUMERIC = ["?", "i1", "u1", "<i2", "<u2", ">i4", "<u4", "<i8", "<u8", "<f2", "<f4", "<f8", ">f8", "g", "<c8", "<c16", "G"]
VIEWS = [lambda a: a, lambda a: a.T, lambda a: a[:, ::2], lambda a: a[::-1], lambda a: a[:0, ::2], lambda a: a[1:, 1]]


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("shape", [(), (0,), (2, 0, 4), (4, 6)])
def test_arrays_come_back_read_only_in_c_order(dtype, shape):
    base = (np.arange(int(np.prod(shape))) % 5).astype(dtype).reshape(shape)
    for view in [base] if shape != (4, 6) else [make(base) for make in VIEWS]:
        back = load(dump([view]))[0]
        assert same(back, view.copy(order="C")) and back.flags.c_contiguous and not back.flags.writeable


def test_array_subclass_and_buffer_sharing():
    class Tagged(np.ndarray):
        pass

    a = np.arange(6.0).reshape(2, 3).view(Tagged)
    assert same(load(dump(a.T)), np.ascontiguousarray(a.T).view(np.ndarray))
    back = load(dump(np.arange(100.0)))
    while isinstance(back, np.ndarray):
        back = back.base
    back = back.obj if isinstance(back, memoryview) else back
    assert type(back) is bytes  # wraps the received bytes, no copy


@pytest.mark.parametrize(
    "make",
    [lambda: np.array([(1, 2), (3, 4, 5)], dtype=object), lambda: np.array([1, "x", None], dtype=object),
     lambda: np.arange(3).astype("M8[s]"), lambda: np.arange(3).astype("m8[ms]").reshape(3, 1),
     lambda: np.zeros(2, [("a", "<i4"), ("b", "<f8")]), lambda: np.ma.masked_array([1, 2, 3], mask=[0, 1, 0])],
)
def test_arrays_the_raw_form_cannot_carry_travel_whole(make):
    value = make()
    packed = dump(value)
    if value.dtype == object:  # no addresses of this process on the wire
        assert not any(id(x).to_bytes(8, "little") in packed for x in value.flat)
    back = load(packed)
    assert type(back) is type(value) and back.dtype == value.dtype and back.shape == value.shape
    assert back.tolist() == value.tolist()
    if isinstance(value, np.ma.MaskedArray):
        assert back.mask.tolist() == value.mask.tolist()


@pytest.mark.parametrize(
    "value, error",
    [(frozenset({1}), TypeError), (2**64, OverflowError), (NamedLikeList(), TypeError), (np.bool_(True), TypeError)],
)
def test_values_left_to_messagepack_raise_its_errors(value, error):
    assert BytePacker.encode(value) is value
    with pytest.raises(error):
        dump((1, value))


def test_failures_become_logged_values(capsys, monkeypatch):
    assert load(dump((1, Unpicklable(), "after"))) == (1, "@ENCODE: Unpicklable ---> no way", "after")
    assert load(dump({"data": b"\0" * 8, "dtype": "O", "shape": (1,)})) == (
        "@DECODE: numpy ---> cannot create an OBJECT array from memory buffer")
    out = capsys.readouterr().out
    assert "[ZELK.PROTO][ERROR\U0001F92C] @ENCODE: Unpicklable ---> no way" in out and "@DECODE: numpy" in out

    seen = []
    monkeypatch.setattr(protocol.log, "error", lambda m: seen.append((m, sys.exc_info()[1])) or "logged", raising=False)
    assert BytePacker.encode(Unpicklable()) == BytePacker.decode({"data": b"abc", "dtype": "<f8", "shape": (1,)}) == "logged"
    assert [type(e) for _, e in seen] == [ValueError, ValueError] and str(seen[1][1]) in seen[1][0]
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize(
    "raw, expected",
    [({"data": b"\0" * 8, "dtype": "<f8", "shape": shape}, "log") for shape in (3, "x", {"a": 1}, [2**62, 2**62])]
    + [({"data": b"\0" * 8, "dtype": dtype, "shape": [1]}, "log") for dtype in ("zz", 5, "|V0", "O", [["a", "O"]])]
    + [({"data": data, "dtype": "<f8", "shape": [1]}, "log") for data in (b"\0" * 7, "text", 5, None)]
    + [({"data": [1, 2], "dtype": "tuple"}, (1, 2)), ({"data": [1, 1], "dtype": "set", "x": 0}, {1}),
       ({"data": 1}, {"data": 1}), ({"data": [1], "dtype": "list"}, TypeError), ({"data": 3, "dtype": "tuple"}, TypeError),
       ({"data": [[1]], "dtype": "set"}, TypeError), ({"data": b"junk", "dtype": "Point"}, pickle.UnpicklingError)],
)
def test_maps_from_elsewhere(raw, expected, capsys):
    if isinstance(expected, type):
        with pytest.raises(expected):
            load(msgpack.packb(raw))
    elif expected == "log":
        back = load(msgpack.packb(raw))
        assert back.startswith("@DECODE: numpy ---> ") and back in capsys.readouterr().out
    else:
        assert same(load(msgpack.packb(raw)), expected)


def test_hooks_of_subclasses_and_replaced_hooks_are_used(monkeypatch):
    class Loud(BytePacker):
        calls = []

        @classmethod
        def encode(cls, obj):
            cls.calls.append(obj)
            return super().encode(obj)

    assert Loud.unpack(Loud.pack((1,))) == (1,) and Loud.calls == [(1,)]
    monkeypatch.setattr(BytePacker, "encode", classmethod(lambda cls, obj: "E"))
    monkeypatch.setattr(BytePacker, "decode", classmethod(lambda cls, obj: "D"))
    assert dump((1,)) == msgpack.packb("E") and load(msgpack.packb({})) == "D"


def test_malformed_input_raises_or_decodes(capsys):
    rng, outcomes = random.Random(20240501), collections.Counter()
    good = [dump(v) for v in (RECORD, (1, 7, [np.arange(6.0).reshape(2, 3), {3, 4}]), {"a": [(1, None), b"x"], 5: -1})]
    inputs = [p[:i] for p in good for i in range(len(p))] + [rng.randbytes(rng.randint(0, 64)) for _ in range(3000)]
    for p in good:
        for _ in range(300):
            flipped = bytearray(p)
            for _ in range(rng.randint(1, 4)):
                flipped[rng.randrange(len(flipped))] = rng.randrange(256)
            inputs.append(bytes(flipped))
    inputs += [b"\x91" * 100_000, b"\x81\xa1a" * 100_000]
    for data in inputs:
        try:
            load(data)
            outcomes["value"] += 1
        except Exception as e:
            outcomes[type(e).__name__] += 1
    capsys.readouterr()
    assert outcomes["value"] > 0 and outcomes["ExtraData"] > 0 and outcomes["ValueError"] > 0
    with pytest.raises(ValueError):  # nesting beyond MessagePack's limit is refused on packing too
        dump(functools.reduce(lambda v, _: (v,), range(100_000), ()))


def test_many_threads_share_the_packer():
    shared = (1, 7, {"a": np.arange(12, dtype="<i2").reshape(3, 4).T, "s": {1, 2}, "p": Point(1, 2)})

    def work(i):
        for n in range(400):
            value = (0, n, f"svc.m{i}", (i, (n,)), {"k": [n, {i}]})
            assert same(load(dump(value)), value)
            assert same(load(dump(shared))[2]["a"], np.ascontiguousarray(shared[2]["a"]))

    run_in_threads(work)


def test_no_reference_leaks(monkeypatch):
    monkeypatch.setattr(sys, "stdout", type("Null", (), {"write": lambda self, t: len(t), "flush": lambda self: None})())
    record, array = (0, 1, "m", (1, {2}), {"k": 1j}), np.arange(64.0).reshape(8, 8).T
    calls = [lambda: load(dump(record)), lambda: load(dump(array)), lambda: load(dump([Unpicklable()])),
             lambda: load(msgpack.packb({"data": b"x", "dtype": "<f8", "shape": [1]})),
             lambda: pytest.raises(TypeError, dump, frozenset()), lambda: pytest.raises(ValueError, load, b"\x93\x01")]
    left = leaks(lambda: [fn() for fn in calls], record, array, record[3], BytePacker, calls=15_000)
    assert left.references == [0] * 4 and left.blocks < 1_500 and left.rss < 4 << 20


# ---- JsonPacker ------------------------------------------------------------------------------


def test_json_packer_body():
    assert [n for n in vars(JsonPacker) if not n.startswith("__")] == ["_default", "_object_hook", "dumps", "loads"]
    for alias, method in ((dumps, JsonPacker.dumps), (loads, JsonPacker.loads)):
        assert alias.__self__ is JsonPacker and alias.__func__ is method.__func__
    assert protocol.websocket is protocol.WebSocket


def test_json_text_forms():
    assert dumps({"a": (1, 2)}) == '{\n    "a": [\n        1,\n        2\n    ]\n}'
    assert loads(dumps({"a": (1, 2)})) == {"a": [1, 2]}
    assert json.loads(dumps(1 + 2j)) == {"data": "(1+2j)", "dtype": "complex"}
    point = Point(1, 2)
    assert loads(dumps([point, decimal.Decimal("1.10")], indent=0)) == [str(point), "1.10"]
    raw = json.loads(dumps(np.arange(6.0).reshape(2, 3)))
    assert list(raw) == ["ndarray", "dtype", "shape"] and len(raw["ndarray"]) == 64 and raw["dtype"] == "<f8"
    for array in (np.arange(6.0).reshape(2, 3), np.arange(12, dtype=">i2").reshape(3, 4).T):
        back = loads(dumps(array))
        assert same(back, np.ascontiguousarray(array)) and not back.flags.writeable


@pytest.mark.parametrize(
    "value",
    [1 + 2j, 2j, -2j, 0j, complex(-0.0, -0.0), complex(1e300, -1e-300), complex(float("inf"), float("nan")),
     set(), {1, 2, 3}, {-7, 2.5, float("-inf"), 1e16, 3j, 1 - 1j, None, True},
     {"it's", 'say "hi"', "tab\t\u00e9\U0001F600\x00\ud800\\", b"\x00'\"\\\x7f", ""}],
    ids=repr,
)
def test_complex_numbers_and_sets_come_back_from_their_text(value):
    back = loads(dumps({"v": value}))["v"]
    assert type(back) is type(value) and (repr(back) == repr(value) if type(value) is complex else back == value)


@pytest.mark.parametrize(
    "dtype, data",
    [("complex", "__import__('os').getpid()"), ("complex", "1+2j"), ("complex", "(1 + 2j)"), ("complex", "(1+2j)*9"),
     ("complex", "(1+-2j)"), ("complex", "1e5j"), ("complex", "infinityj"), ("complex", 5), ("set", "{9**9**9}"),
     ("set", "{1: 2}"), ("set", "{}"), ("set", "{(1, 2)}"), ("set", "{1,2}"), ("set", "{'a' 'b'}"), ("set", "{'a}"),
     ("set", "{'\\q'}"), ("set", "{b'\u00e9'}"), ("set", "{'\\U00110000'}"), ("set", "frozenset({1})"), ("set", "{x}"),
     ("set", "set() "), ("set", ["x"])],
)
def test_texts_other_than_these_literals_are_refused_unevaluated(dtype, data, monkeypatch):
    import ast

    def evaluated(*args):
        raise AssertionError("text from a peer was evaluated")

    monkeypatch.setattr(builtins, "eval", evaluated)
    monkeypatch.setattr(ast, "literal_eval", evaluated)
    with pytest.raises((ValueError, TypeError)):
        loads(json.dumps({"data": data, "dtype": dtype}))


@pytest.mark.parametrize("indent, note", [(True, True), (None, False), (2.0, False)])
def test_indent_must_be_exactly_an_int(indent, note):
    with pytest.raises(TypeError) as info:
        dumps(1, indent=indent)
    assert str(info.value) == f"Argument 'indent' has incorrect type (expected int, got {type(indent).__name__})"
    assert (getattr(info.value, "__notes__", []) == ["subclasses of int are refused here"]) == note


@pytest.mark.parametrize("value, error", [(b"x", ValueError), (frozenset(), ValueError), (np.array([1, None]), TypeError)])
def test_values_json_cannot_carry(value, error):
    with pytest.raises(error):
        dumps([value])


# ---- dumpv and loadv ----------------------------------------------------------------------------


def test_shared_values_are_live_across_processes_and_outlive_readers(capsys):
    name = f"zelk-test-{os.getpid()}"
    array = np.arange(12, dtype="<i4").reshape(3, 4)
    descriptor, block_name, shm = dumpv(array, name)
    try:
        assert (descriptor, block_name, shm.size >= array.nbytes) == (((3, 4), "<i4"), "&" + name, True)
        _, view = loadv(descriptor, block_name)
        assert same(view, array)
        dumpv(array * 2, name)  # the block is reused by name, and the reader sees the new values
        assert "File exists" in capsys.readouterr().out and same(view, array * 2)
        reader = (f"from zelk.protocol import loadv\nshm, v = loadv({descriptor!r}, {block_name!r})\n"
                  "print(int(v.sum())); v[0, 0] = 99; del v; shm.close()")
        done = subprocess.run([sys.executable, "-c", reader], capture_output=True, text=True, check=True)
        assert done.stdout.split() == [str(int(array.sum() * 2))] and "leaked" not in done.stderr
        assert view[0, 0] == 99
        protocol.SharedMemory(block_name, track=False).close()  # still there after the reader has gone
    finally:
        del view
        shm.close()
        shm.unlink()


# In a process of its own: an array over an unmapped block would take the test session down.
ARRAY_OUTLIVES_ITS_HANDLE = """
import gc, sys
import numpy as np
from multiprocessing.shared_memory import SharedMemory
from zelk.protocol import dumpv, loadv
descriptor, name, shm = dumpv(np.arange(6.0), sys.argv[1])
def attached():
    _, view = loadv(descriptor, name)
    return view
def passed_in():
    return loadv(descriptor, name, SharedMemory(name, track=False))[1]
view = {"attached": attached, "passed_in": passed_in}[sys.argv[2]]()
gc.collect()
try:
    view.base.block.close()
except BufferError:
    print("close refused")
print(view.sum(), view[2:].sum())
del view
gc.collect()
shm.close()
shm.unlink()
"""


@pytest.mark.parametrize("case", ["attached", "passed_in"])
def test_an_array_from_loadv_keeps_its_block_mapped(case):
    name = f"zelk-pinned-{os.getpid()}-{case}"
    try:
        done = subprocess.run([sys.executable, "-c", ARRAY_OUTLIVES_ITS_HANDLE, name, case],
                              capture_output=True, text=True, timeout=120)
    finally:
        with contextlib.suppress(FileNotFoundError):  # left behind by a run that crashed
            protocol.SharedMemory("&" + name, track=False).unlink()
    assert (done.returncode, done.stdout.split(), done.stderr) == (0, ["close", "refused", "15.0", "14.0"], "")


@pytest.mark.parametrize(
    "call, error",
    [(lambda: dumpv(np.zeros(2), name=5), TypeError), (lambda: loadv([1], "&x"), TypeError),
     (lambda: loadv((1,), None), TypeError), (lambda: loadv(((1,),), "&x"), ValueError),
     (lambda: loadv(((1,), "<f8", 3), "&x"), ValueError), (lambda: loadv(((2,), "|O"), "&x"), TypeError),
     (lambda: dumpv(np.array([None]), "x"), TypeError), (lambda: loadv(((1,), "<f8"), "&zelk-no-such-block"), FileNotFoundError)],
)
def test_shared_values_refusals(call, error):
    with pytest.raises(error):
        call()


def test_loadv_passes_other_values_through():
    assert loadv((3,), "x") == ("", (3,))


# ---- compress and decompress ----------------------------------------------------------------------


def numpy_run_length(a):
    index = np.r_[0, np.flatnonzero(np.diff(a)) + 1]
    return a[index], np.diff(np.r_[index, len(a)])


@pytest.mark.parametrize("value, heads, lengths", [([5, 5, 5, 2, 2, 7], [5, 2, 7], [3, 2, 1]), ([4], [4], [1]),
                                                   ([1, 2, 3], [1, 2, 3], [1, 1, 1])])
def test_run_length_form(value, heads, lengths):
    got = compress(np.array(value))
    assert [x.tolist() for x in got] == [heads, lengths] and got[1].dtype == np.intp


@pytest.mark.parametrize("dtype", NUMERIC)
@pytest.mark.parametrize("view", [lambda a: a, lambda a: a[::3]], ids=["contiguous", "strided"])
def test_run_length_matches_numpy_for_every_numeric_type(dtype, view):
    rng = random.Random(len(dtype))
    runs = np.array([rng.randrange(3) for _ in range(500)]), np.array([rng.randrange(1, 300) for _ in range(500)])
    a = view(np.repeat(*runs).astype(dtype))
    if a.dtype.kind in "fc":  # NaN and an infinity break runs in numpy's diff; 0.0 and -0.0 share one
        a[100:140], a[200:230], a[300:310], a[310:320] = np.nan, np.inf, 0.0, -0.0
    with np.errstate(invalid="ignore"):  # inf - inf, as numpy's diff computes it
        heads, lengths = compress(a)
        expected_heads, expected_lengths = numpy_run_length(a)
    assert (heads.dtype, heads.tobytes()) == (expected_heads.dtype, expected_heads.tobytes())
    assert (lengths.dtype, lengths.tolist()) == (expected_lengths.dtype, expected_lengths.tolist())
    back = decompress(heads, lengths)
    assert back.tobytes() == np.repeat(heads, lengths).tobytes() and np.array_equal(back, a, equal_nan=True)


@pytest.mark.parametrize(
    "call, error, text",
    [(lambda: compress(np.zeros((2, 3))), ValueError, "compress takes a one-dimensional array, not one of shape (2, 3)"),
     (lambda: compress(np.array([])), IndexError, None), (lambda: compress(np.array(["a", "b"])), TypeError, None),
     (lambda: decompress(np.arange(3), np.array([1, 2])), ValueError, None),
     (lambda: decompress(np.arange(2), np.array([1, -1])), ValueError, None)],
)
def test_run_length_refusals(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert text is None or str(info.value) == text


def test_compress_returns_other_values_unchanged():
    value = [1, 1, 2]
    assert compress(value) is value and compress(5) == 5
    assert same(decompress(np.array(["a", "b"]), np.array([2, 1])), np.array(["a", "a", "b"]))


# ---- profile ----------------------------------------------------------------------------------------


def hits(out, line):
    """The hit count that line_profiler's table gives the source line `line`."""
    return int(next(row for row in out.splitlines() if row.rstrip().endswith(line)).split()[1])


def helper(n):
    return n + 1


needs_line_profiler = pytest.mark.skipif(not importable("line_profiler"),
                                         reason="line_profiler has no build for this interpreter")


@needs_line_profiler
def test_profile_times_each_call_and_accumulates(capsys):
    wrapper = profile([helper])
    assert wrapper.__qualname__ == "profile.<locals>.wrapper"

    def work(n):
        """Adds up."""
        return sum(range(helper(n)))

    timed = wrapper(work)
    assert (timed.__name__, timed.__doc__, timed.__wrapped__) == ("work", "Adds up.", work)
    assert wrapper(functools.partial(work)).__qualname__ == "profile.<locals>.wrapper.<locals>.wrapped"
    for calls in (1, 2):
        assert timed(9) == 45
        out = capsys.readouterr().out
        assert out.startswith("work started ...\n") and out.endswith("work finished !!!\n")
        assert hits(out, "return sum(range(helper(n)))") == hits(out, "return n + 1") == calls
    profile()(work)(9)  # a profiler of its own starts from nothing
    assert hits(capsys.readouterr().out, "return sum(range(helper(n)))") == 1


def test_profile_failures(capsys, monkeypatch):
    def fails():
        raise KeyError("k")

    if importable("line_profiler"):
        with pytest.raises(KeyError):
            profile()(fails)()
        assert capsys.readouterr().out == "fails started ...\n"
    for wrong in (None, (helper,), type("L", (list,), {})()):
        with pytest.raises(TypeError, match="Argument 'functions' has incorrect type"):
            profile(wrong)
    monkeypatch.setitem(sys.modules, "line_profiler", None)
    assert profile() is None and "line_profiler" in capsys.readouterr().out
