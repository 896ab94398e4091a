"""The native MessagePack engine against msgpack with BytePacker's hooks: same bytes, same values, same errors."""

import array
import collections
import datetime
import decimal
import fractions
import pickle
import random
import sys

import msgpack
import numpy as np
import pytest

from conftest import leaks, run_in_threads
from fuzzing import mutations
from zelk import protocol
from zelk.protocol import BytePacker
from zelk.protocol import dump as native_pack
from zelk.protocol import load as native_unpack

RECORD = (0, 7, "calc.add", (1, 2), {})
Pair = collections.namedtuple("Pair", "a b")


class Point:
    def __init__(self, x):
        self.x = x

    def __eq__(self, other):
        return type(other) is Point and self.x == other.x


class Unpicklable:
    def __reduce__(self):
        raise ValueError("no way")


class Text(str):
    pass


class Tagged(np.ndarray):
    pass


NamedLikeList = type("list", (), {})


def reference_pack(value):
    return msgpack.packb(value, default=BytePacker.encode, strict_types=True)


def reference_unpack(data):
    return msgpack.unpackb(data, object_hook=BytePacker.decode, use_list=True, strict_map_key=False)


def same(a, b):
    """Equal values of the same types all the way down; arrays also alike in bytes and writability."""
    if type(a) is not type(b):
        return False
    if isinstance(a, np.ndarray):
        return pickle.dumps(a) == pickle.dumps(b) and a.flags.writeable == b.flags.writeable
    if isinstance(a, dict):
        return len(a) == len(b) and all(same(x, y) and same(a[x], b[y]) for x, y in zip(a, b))
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(map(same, a, b))
    if isinstance(a, float):
        return repr(a) == repr(b)
    return a == b


# Where msgpack is its pure-Python fallback (its C extension would switch a free-threaded
# interpreter's GIL back on), its error types and texts are its own, and it refuses some values the
# C extension takes (deeper nesting, strided views): the native engine is then held to its values,
# and may fail where the fallback gives one only at the C extension's nesting limit.
PURE_MSGPACK = msgpack.Packer.__module__ == "msgpack.fallback"


def outcome(fn, arg):
    """What fn(arg) gives: ("ok", value), or the exception's type and text (ExtraData with its parts)."""
    try:
        return "ok", fn(arg)
    except msgpack.ExtraData as e:
        return "ExtraData", (e.unpacked, bytes(e.extra) if PURE_MSGPACK else e.extra)
    except Exception as e:
        return type(e).__name__, str(e)


def failed(result):
    return result[0] not in ("ok", "ExtraData")


def by_value(got, expected):
    """Whether the fallback's own errors and limits explain a difference between the two."""
    return failed(expected) or got[0] == "StackError"


def agree(got, expected):
    if PURE_MSGPACK and by_value(got, expected):
        return True
    return got[0] == expected[0] and same(got[1], expected[1])


def packs_alike(got, expected):
    """The same bytes, or the same error (see agree for the fallback)."""
    if PURE_MSGPACK and by_value(got, expected):
        return True
    return got == expected


INTS = sorted({n for k in (0, 4, 5, 7, 8, 15, 16, 31, 32, 63, 64) for d in (-1, 0, 1) for s in (1, -1)
               if -(2**63) <= (n := s * (2**k + d)) < 2**64})
LENGTHS = [0, 1, 31, 32, 255, 256, 65535, 65536]
NUMERIC = ["?", "i1", "u1", "<i2", ">u2", "<i4", ">i4", "<u8", "<f2", "<f4", ">f8", "g", "<c8", "G"]
ODD_ARRAYS = [np.array([(1, 2), (3, 4, 5)], dtype=object), np.arange(3).astype("M8[s]"), np.arange(2).astype("m8[ms]"),
              np.zeros(2, [("a", "<i4"), ("b", "<f8")]), np.ma.masked_array([1, 2, 3], mask=[0, 1, 0])]
SCALARS = [None, True, False, 0.0, -0.0, 1.5, float("nan"), float("inf"), -float("inf"), 1e300, 1j, np.float64(2.5),
           np.int64(-3), np.uint8(7), datetime.date(2024, 5, 1), decimal.Decimal("1.10"), fractions.Fraction(2, 3),
           Point(3), Pair(1, (2,)), collections.Counter("aab"), collections.OrderedDict(a=1), Text("t"), True,
           msgpack.ExtType(5, b"ext"), msgpack.Timestamp(1, 2), np.arange(6.0).reshape(2, 3).view(Tagged).T, {"data": 1}, {"data": [1, 2], "dtype": "tuple"}]
# Values msgpack refuses or the serializer fails on; rare in the random values, so most of them pack.
FAILING = [2**64, -(2**63) - 1, frozenset({1}), NamedLikeList(), np.bool_(True), "a\ud800b", memoryview(b"abcd")[::2], Unpicklable()]


def text(rng):
    n = rng.choice(LENGTHS)
    return "".join(rng.choices("az09\u00e9\u4e2d\U0001f600", k=n)) if rng.random() < 0.3 else "x" * n


def make_array(rng):
    dtype = rng.choice(NUMERIC)
    shape = rng.choice([(), (0,), (3,), (2, 3), (4, 6), (2, 0, 4), (3000,)])
    a = (np.arange(int(np.prod(shape))) % 7).astype(dtype).reshape(shape)
    views = [lambda a: a] + ([lambda a: a.T, lambda a: a[::-1], lambda a: a[..., ::2]] if a.ndim else [])
    return rng.choice(views)(a)


def make_leaf(rng):
    kind = rng.randrange(9)
    if kind == 0:
        return rng.choice(INTS)
    if kind == 1:
        return text(rng)
    if kind == 2:
        return rng.choice([bytes, bytearray, memoryview])(b"\x01" * rng.choice(LENGTHS + [20000]))
    if kind == 3:
        return make_array(rng)
    if kind == 4:
        return rng.choice(ODD_ARRAYS)
    if kind == 5 and rng.random() < 0.1:
        return rng.choice(FAILING)
    return rng.choice(SCALARS)


def make_value(rng, depth=0):
    """A seeded nested value of every kind the packer meets."""
    if depth > 3 or rng.random() < 0.35:
        return make_leaf(rng)
    items = [make_value(rng, depth + 1) for _ in range(rng.choice([0, 1, 2, 3] + [15, 16] * (depth == 0)))]
    kind = rng.randrange(5)
    if kind == 0:
        return items
    if kind == 1:
        return tuple(items)
    if kind == 2:
        return {k: v for k, v in zip([rng.choice(INTS + ["k", "data", "dtype", None, (1, 2)]) for _ in items], items)}
    if kind == 3:
        return {rng.choice(INTS) for _ in items}
    return Pair(items[:1], tuple(items[1:]))


VALUES = [make_value(random.Random(seed)) for seed in range(400)]


@pytest.fixture(autouse=True)
def quiet_and_deep(capsys):
    """The printer's reports are dropped, and values nested as deep as MessagePack allows can be compared."""
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 5000))
    yield
    sys.setrecursionlimit(limit)
    capsys.readouterr()


def test_random_values_pack_and_unpack_as_msgpack_does():
    refused = 0
    for value in VALUES:
        expected = outcome(reference_pack, value)
        got = outcome(native_pack, value)
        assert packs_alike(got, expected), value
        if got[0] == "ok":
            assert agree(outcome(native_unpack, got[1]), outcome(reference_unpack, got[1])), value
        else:
            refused += 1
    assert 0 < refused < len(VALUES) // 4


def nest(depth, make, leaf=0):
    value = leaf
    for _ in range(depth):
        value = make(value)
    return value


@pytest.mark.parametrize(
    "value",
    [2**64, -(2**63) - 1, [2**64], frozenset(), NamedLikeList(), np.bool_(True), "\udc80", memoryview(b"ab")[::2],
     [Unpicklable(), "after"], Text("x"), memoryview(array.array("d", [1.0, 2.0])), memoryview(np.zeros((2, 2))), type("int", (int,), {})(5), type("set", (set,), {})(),
     [bytes(range(256)) * 20480, b"after"]]
    + [nest(depth, make) for depth in (1023, 1024, 1025) for make in (lambda v: [v], lambda v: {0: v})]
    + [nest(depth, lambda v: (v,)) for depth in (511, 512)] + [nest(1023, lambda v: [v], Point(1))],
    ids=lambda v: type(v).__name__,
)
def test_edge_values_give_msgpacks_bytes_or_its_error(value):
    expected = outcome(reference_pack, value)
    assert packs_alike(outcome(native_pack, value), expected)
    if expected[0] == "ok":
        assert agree(outcome(native_unpack, expected[1]), outcome(reference_unpack, expected[1]))


def test_released_memoryview_and_circular_list():
    view = memoryview(b"x")
    view.release()
    loop = []
    loop.append(loop)
    for value in (view, loop, {1: loop}):
        assert packs_alike(outcome(native_pack, value), outcome(reference_pack, value))


def test_truncated_and_mutated_input_decodes_or_fails_alike():
    rng = random.Random(7)
    encodings = [outcome(reference_pack, v) for v in VALUES[::2]]
    for data in [d for kind, d in encodings if kind == "ok" and len(d) < 5000]:
        for changed in mutations(data, rng):
            assert agree(outcome(native_unpack, changed), outcome(reference_unpack, changed)), changed


@pytest.mark.parametrize(
    "data",
    [b"", b"\xc1", b"\x91\xc1", b"\x01\x02", b"\xdc\x00\x10", b"\x91\xdc\x00\x10", b"\x81", b"\x82\x01\x01",
     b"\x91" * 1023 + b"\x90", b"\x91" * 1024 + b"\x90", b"\x91" * 1024 + b"\x01", b"\x81\x01" * 1024 + b"\x80",
     b"\x91" * 1024 + b"\xdc\xff\xff", b"\xa2\xff\xfe", b"\xd4\x01\x02", b"\xd6\xff\x00\x00\x00\x01", b"\xd5\xff\x00\x00",
     b"\xc7\x00\x05", b"\xc9\xff\xff\xff\xff\x01", b"\xc7\x0c\xff" + bytes(11) + b"\x01", b"\xca\x3f\x80\x00\x00", b"\x81\x90\x01", b"\x81\x81\x01\x02\x03",
     b"\x82\xa4data\x92\x01\x02\xa5dtype\xa5tuple\x01"],
)
def test_hand_made_input_decodes_or_fails_alike(data):
    assert agree(outcome(native_unpack, data), outcome(reference_unpack, data))


def tagged_bytes(*pairs):
    """A map of already packed keys and values, so that duplicates and odd forms can be written."""
    return bytes([0x80 | len(pairs)]) + b"".join(msgpack.packb(k) + msgpack.packb(v) for k, v in pairs)


F8 = b"\0" * 16
STR8_DATA = b"\xd9\x04data"


@pytest.mark.parametrize(
    "data",
    [tagged_bytes(("data", [1, 2]), ("dtype", "tuple")), tagged_bytes(("dtype", "tuple"), ("data", [1, 2])),
     tagged_bytes(("data", [1, 1]), ("dtype", "set"), ("x", 0)), tagged_bytes(("data", [1]), ("data", [2])),
     tagged_bytes(("data", [1]), ("dtype", "tuple"), ("dtype", "set")), tagged_bytes(("data", [1]), ("dtype", b"tuple")),
     tagged_bytes(("data", [1]), ("dtype", 5)), tagged_bytes(("data", b"junk"), ("dtype", "Point")),
     tagged_bytes(("data", "ab"), ("dtype", "tuple")), tagged_bytes(("data", b"ab"), ("dtype", "set")),
     tagged_bytes(("data", 3), ("dtype", "tuple")), tagged_bytes(("data", [[1]]), ("dtype", "set")),
     tagged_bytes((b"data", [1]), ("dtype", "tuple")), tagged_bytes((1, 2), ("data", [1]), ("dtype", "tuple")),
     tagged_bytes(("data", F8), ("dtype", "<f8"), ("shape", [2])), tagged_bytes(("data", F8), ("dtype", "<f8"), ("shape", 3)),
     tagged_bytes(("data", F8), ("dtype", "O"), ("shape", [2])), tagged_bytes(("data", F8), ("dtype", 5), ("shape", [1])),
     tagged_bytes(("data", F8), ("dtype", "<f8"), ("shape", [2]), ("x", 1)), tagged_bytes(("shape", [2]), ("data", F8), ("dtype", "<f8")),
     tagged_bytes(("data", [1, 2]), ("dtype", "<f8"), ("shape", [2])), tagged_bytes(("data", "text"), ("dtype", "<f8"), ("shape", [1])),
     tagged_bytes(("data", F8[:7]), ("dtype", "<f8"), ("shape", [1])), tagged_bytes(("data", F8), ("dtype", "<f8"), ("shape", None)),
     b"\x82" + STR8_DATA + b"\x92\x01\x02\xa5dtype\xa5tuple", b"\x82\xa4data\x92\x01\x02\xda\x00\x05dtype\xa3set"],
)
def test_maps_that_look_tagged_are_restored_as_decode_does(data):
    assert agree(outcome(native_unpack, data), outcome(reference_unpack, data))


def test_failures_are_reported_while_handled(monkeypatch):
    seen = []
    monkeypatch.setattr(protocol.log, "error", lambda text: seen.append((text, type(sys.exc_info()[1]))) or ["logged"], raising=False)
    bad_array = tagged_bytes(("data", F8[:7]), ("dtype", "<f8"), ("shape", [1]))
    assert native_unpack(native_pack((Unpicklable(), 1))) == (["logged"], 1)
    assert native_unpack(bad_array) == ["logged"]
    assert [t for t, _ in seen] == ["@ENCODE: Unpicklable ---> no way",
                                   "@DECODE: numpy ---> buffer size must be a multiple of element size"]
    assert [e for _, e in seen] == [ValueError, ValueError] and sys.exc_info() == (None, None, None)


def test_arrays_view_the_bytes_they_came_in_and_copy_anything_else():
    value = np.arange(5000.0).reshape(50, 100)
    data = native_pack([value, value.T])
    assert data == reference_pack([value, value.T])
    back = native_unpack(data)
    assert not back[0].flags.writeable and back[0].base.base.obj is data
    assert np.array_equal(back[1], value.T) and back[1].flags.c_contiguous
    changing = bytearray(data)
    copied = native_unpack(changing)[0]
    changing[-9000:] = bytes(9000)
    assert same(copied, back[0]) and not copied.flags.writeable


@pytest.mark.parametrize("data", [bytearray(b"\x93\x01\x02\x03"), memoryview(b"\x00\x93\x01\x02\x03")[1:],
                                  memoryview(b"\x93\x00\x01\x00\x02\x00\x03")[::2], array.array("d", [1.0]), "text", 5])
def test_inputs_other_than_bytes(data):
    assert agree(outcome(native_unpack, data), outcome(reference_unpack, data))


class Grower:
    """An object whose serialization adds to the container being packed."""

    def __init__(self, container):
        self.container = container

    def __reduce__(self):
        if isinstance(self.container, list):
            self.container.append(1)
        else:
            self.container[len(self.container)] = 1
        return (int, ())


@pytest.mark.parametrize("kind", [list, dict])
def test_containers_resized_while_packed_are_refused(kind):
    container = kind()
    container.extend([Grower(container), 0]) if kind is list else container.update({0: Grower(container), 1: 0})
    with pytest.raises(RuntimeError, match="changed size during iteration"):
        native_pack(container)


def test_threads_share_the_engine_and_containers_changed_by_others():
    shared_list, shared_dict = list(range(50)), {i: i for i in range(50)}

    def work(i):
        for n in range(300):
            if i % 4 == 0:
                shared_list.append(n), shared_list.pop(0), shared_dict.pop(n % 50, None), shared_dict.setdefault(n % 50, n)
            else:
                try:
                    back = native_unpack(native_pack([shared_list, shared_dict]))
                    assert type(back[0]) is list and type(back[1]) is dict
                except RuntimeError as e:
                    assert "changed size during iteration" in str(e)
            value = VALUES[(i * 300 + n) % len(VALUES)]
            expected = outcome(reference_pack, value)
            assert packs_alike(outcome(native_pack, value), expected)
            if expected[0] == "ok":
                assert agree(outcome(native_unpack, expected[1]), outcome(reference_unpack, expected[1]))

    run_in_threads(work)


def test_no_growth_over_many_calls(monkeypatch):
    monkeypatch.setattr(sys, "stdout", type("Null", (), {"write": lambda self, t: len(t), "flush": lambda self: None})())
    array_value = np.arange(3000.0).reshape(30, 100).T
    packed = native_pack(array_value)
    calls = [lambda: native_unpack(native_pack(RECORD)), lambda: native_unpack(packed),
             lambda: native_unpack(bytearray(packed)), lambda: native_unpack(native_pack([Unpicklable(), {1, 2}, 1j])),
             lambda: outcome(native_pack, [frozenset()]), lambda: outcome(native_unpack, b"\x93\x01"),
             lambda: outcome(native_unpack, b"\x01\x02"), lambda: outcome(native_unpack, tagged_bytes(("data", b"x"), ("dtype", "<f8"), ("shape", [1])))]
    # Counted references and blocks show a leak of one each per call; the resident size, leaks
    # outside the interpreter's objects (some 20 bytes a call would show here).
    left = leaks(lambda: [call() for call in calls], RECORD, array_value, packed, calls=30_000)
    assert left.references == [0] * 3 and left.blocks < 3_000 and left.rss < 4 << 20
