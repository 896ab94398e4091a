"""Pack+unpack costs of the native MessagePack engine (zelk.protocol._native_pack/_native_unpack) next
to msgpack.packb/unpackb with the same hooks written in plain Python, today's BytePacker and pickle 5.

Two values: the call record (0, 7, "calc.add", (1, 2), {}) and a 10 MB float64 array.
"""

import builtins
import pickle
import time
import timeit

import msgpack
import numpy as np

from zelk.protocol import BytePacker, _native_pack, _native_unpack

udump, uload = pickle.dumps, pickle.loads
BUILTIN_NAMES = frozenset(dir(builtins))


def encode(obj):
    if isinstance(obj, np.ndarray):
        if not obj.flags["C_CONTIGUOUS"]:
            obj = np.ascontiguousarray(obj)
        return {"data": obj.data, "dtype": obj.dtype.str, "shape": obj.shape}
    if type(obj) in (tuple, set):
        return {"data": list(obj), "dtype": type(obj).__name__}
    if isinstance(obj, (tuple, set, complex)) or type(obj).__name__ not in BUILTIN_NAMES:
        try:
            return {"data": udump(obj), "dtype": type(obj).__name__}
        except Exception as e:
            return f"@ENCODE: {type(obj).__name__} ---> {e}"
    return obj


def decode(obj):
    if not isinstance(obj, dict) or "data" not in obj or "dtype" not in obj:
        return obj
    if "shape" in obj:
        try:
            return np.frombuffer(obj["data"], obj["dtype"]).reshape(obj["shape"])
        except Exception as e:
            return f"@DECODE: numpy ---> {e}"
    if obj["dtype"] in ("tuple", "set"):
        return builtins.__dict__[obj["dtype"]](obj["data"])
    return uload(obj["data"])


def python_pack(value):
    return msgpack.packb(value, default=encode, strict_types=True)


def python_unpack(data):
    return msgpack.unpackb(data, object_hook=decode, use_list=True, strict_map_key=False)


def best(variants, number, repeat):
    """Best CPU time per call of each variant; the variants take turns, so that other work on a
    shared machine weighs on all of them alike."""
    times = {name: [] for name in variants}
    for _ in range(repeat):
        for name, fn in variants.items():
            times[name].append(timeit.timeit(fn, number=number, timer=time.process_time) / number)
    return {name: min(t) for name, t in times.items()}


def round_trips(value):
    return {
        "native": lambda: _native_unpack(_native_pack(value)),
        "python": lambda: python_unpack(python_pack(value)),
        "zelk": lambda: BytePacker.unpack(BytePacker.pack(value)),
        "pickle": lambda: pickle.loads(pickle.dumps(value, protocol=5)),
    }


def report(t, unit, scale):
    print(f"  native engine             {t['native'] * scale:8.2f} {unit}")
    print(f"  msgpack + Python hooks    {t['python'] * scale:8.2f} {unit}")
    print(f"  BytePacker today          {t['zelk'] * scale:8.2f} {unit}")
    print(f"  pickle protocol 5         {t['pickle'] * scale:8.2f} {unit}")


def main():
    record = (0, 7, "calc.add", (1, 2), {})
    array = np.random.default_rng(0).random(10 * 1024 * 1024 // 8)
    assert _native_pack(record) == python_pack(record) == BytePacker.pack(record)
    assert _native_unpack(_native_pack(record)) == record
    assert _native_pack(array) == python_pack(array) and np.array_equal(_native_unpack(_native_pack(array)), array)

    t = best(round_trips(record), 20_000, 15)
    print("call record (0, 7, 'calc.add', (1, 2), {}), pack+unpack per call:")
    report(t, "us", 1e6)
    print(f"  Python hooks / native: {t['python'] / t['native']:.2f}x (target: at least 4x)")

    t = best(round_trips(array), 5, 15)
    print(f"float64 array of {array.nbytes / 1e6:.1f} MB, pack+unpack per call:")
    report(t, "ms", 1e3)
    print(f"  native / pickle: {t['native'] / t['pickle']:.2f}x (target: at most 0.7x)")


if __name__ == "__main__":
    main()
