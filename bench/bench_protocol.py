"""Pack+unpack costs of zelk.protocol's BytePacker (its native codec) next to the same msgpack calls
with the hooks written in plain Python, and next to pickle, in one run.

Two values: a call record (0, 7, "calc.add", (1, 2), {}) and a 10 MB float64 array. The plain-Python
packer below makes the msgpack.packb/unpackb calls BytePacker is byte for byte equal to, with the same
tagged maps; "msgpack alone" packs maps built beforehand, the floor of any msgpack-based packer.
"""

import builtins
import pickle
import time
import timeit

import msgpack
import numpy as np

from zelk.protocol import BytePacker

udump, uload = pickle.dumps, pickle.loads


class PythonPacker:
    @classmethod
    def pack(cls, request):
        return msgpack.packb(request, default=cls.encode, strict_types=True)

    @classmethod
    def unpack(cls, response):
        return msgpack.unpackb(response, object_hook=cls.decode, use_list=True, strict_map_key=False)

    @classmethod
    def encode(cls, obj):
        if isinstance(obj, np.ndarray):
            if not obj.flags["C_CONTIGUOUS"]:
                obj = np.ascontiguousarray(obj)
            return {"data": obj.data, "dtype": obj.dtype.str, "shape": obj.shape}
        if isinstance(obj, (tuple, set)):
            return {"data": list(obj), "dtype": type(obj).__name__}
        if isinstance(obj, complex) or type(obj).__name__ not in dir(builtins):
            try:
                return {"data": udump(obj), "dtype": type(obj).__name__}
            except Exception as e:
                return f"@ENCODE: {type(obj).__name__} ---> {e}"
        return obj

    @classmethod
    def decode(cls, obj):
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


def best(variants, number, repeat):
    """Best CPU time per call, in seconds, of each variant. The variants take turns, so that other
    work on a shared machine weighs on all of them alike; CPU time leaves out waiting for a core."""
    times = {name: [] for name in variants}
    for _ in range(repeat):
        for name, fn in variants.items():
            times[name].append(timeit.timeit(fn, number=number, timer=time.process_time) / number)
    return {name: min(t) for name, t in times.items()}


def round_trips(value):
    return {
        "zelk": lambda: BytePacker.unpack(BytePacker.pack(value)),
        "python": lambda: PythonPacker.unpack(PythonPacker.pack(value)),
        "pickle": lambda: pickle.loads(pickle.dumps(value, protocol=5)),
    }


def main():
    record = (0, 7, "calc.add", (1, 2), {})
    array = np.random.default_rng(0).random(10 * 1024 * 1024 // 8)
    assert BytePacker.unpack(BytePacker.pack(record)) == record
    assert PythonPacker.pack(record) == BytePacker.pack(record)
    assert np.array_equal(BytePacker.unpack(BytePacker.pack(array)), array)

    # The floor under any hooks: the same msgpack calls on the tagged maps built beforehand, so that
    # no hook runs on packing and none on unpacking.
    tagged = msgpack.unpackb(BytePacker.pack(record))
    variants = round_trips(record)
    variants["floor"] = lambda: msgpack.unpackb(
        msgpack.packb(tagged, default=BytePacker.encode, strict_types=True), use_list=True, strict_map_key=False)
    t = best(variants, 20_000, 25)
    print("call record (0, 7, 'calc.add', (1, 2), {}), pack+unpack per call:")
    print(f"  zelk BytePacker           {t['zelk'] * 1e6:8.2f} us")
    print(f"  msgpack + Python hooks    {t['python'] * 1e6:8.2f} us")
    print(f"  pickle protocol 5         {t['pickle'] * 1e6:8.2f} us")
    print(f"  msgpack alone, no hooks   {t['floor'] * 1e6:8.2f} us  (maps built beforehand: the floor under any hooks)")
    print(f"  Python hooks / zelk: {t['python'] / t['zelk']:.2f}x (target: at least 4x)")
    print(f"  msgpack's floor / zelk: {t['floor'] / t['zelk']:.2f}x")

    t = best(round_trips(array), 5, 25)
    print(f"float64 array of {array.nbytes / 1e6:.1f} MB, pack+unpack per call:")
    print(f"  zelk BytePacker           {t['zelk'] * 1e3:8.2f} ms")
    print(f"  msgpack + Python hooks    {t['python'] * 1e3:8.2f} ms")
    print(f"  pickle protocol 5         {t['pickle'] * 1e3:8.2f} ms")
    print(f"  zelk / pickle: {t['zelk'] / t['pickle']:.2f}x (target: at most 0.7x)")


if __name__ == "__main__":
    main()
