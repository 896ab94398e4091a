"""Pack+unpack costs of zelk.protocol's BytePacker next to the same msgpack calls with hooks written in
plain Python and next to pickle, in one run.

Two values: a call record (0, 7, "calc.add", (1, 2), {}) and a 10 MB float64 array. The plain-Python
packer below makes the same msgpack.packb/unpackb calls with the same tagged maps, so the difference
on the record is what the hooks cost; on the array the bytes are copied by msgpack either way.
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


def best(fn, number, repeat=7):
    """Best CPU time per call in seconds over several repeats (CPU time, so that other work on a
    shared machine weighs less)."""
    return min(timeit.repeat(fn, number=number, repeat=repeat, timer=time.process_time)) / number


def round_trips(value, number, repeat=7):
    zelk = best(lambda: BytePacker.unpack(BytePacker.pack(value)), number, repeat)
    python = best(lambda: PythonPacker.unpack(PythonPacker.pack(value)), number, repeat)
    pickled = best(lambda: pickle.loads(pickle.dumps(value, protocol=5)), number, repeat)
    return zelk, python, pickled


def main():
    record = (0, 7, "calc.add", (1, 2), {})
    array = np.random.default_rng(0).random(10 * 1024 * 1024 // 8)
    assert BytePacker.unpack(BytePacker.pack(record)) == record
    assert PythonPacker.pack(record) == BytePacker.pack(record)
    assert np.array_equal(BytePacker.unpack(BytePacker.pack(array)), array)

    zelk, python, pickled = round_trips(record, 100_000)
    # The floor for any hooks: the same msgpack calls on the tagged maps built beforehand, with no hook
    # called on packing and none on unpacking.
    tagged = msgpack.unpackb(BytePacker.pack(record))
    packed = BytePacker.pack(record)
    floor = best(lambda: msgpack.packb(tagged, default=BytePacker.encode, strict_types=True), 100_000) + best(
        lambda: msgpack.unpackb(packed, use_list=True, strict_map_key=False), 100_000)
    print("call record (0, 7, 'calc.add', (1, 2), {}), pack+unpack per call:")
    print(f"  zelk BytePacker           {zelk * 1e6:8.2f} us")
    print(f"  msgpack + Python hooks    {python * 1e6:8.2f} us")
    print(f"  pickle protocol 5         {pickled * 1e6:8.2f} us")
    print(f"  msgpack alone, no hooks   {floor * 1e6:8.2f} us  (maps built beforehand: the floor for any hooks)")
    print(f"  Python hooks / zelk: {python / zelk:.2f}x (target: at least 2x)")
    print(f"  hooks alone (time above the floor), Python / zelk: {(python - floor) / (zelk - floor):.2f}x")

    zelk, python, pickled = round_trips(array, 10, 15)
    print(f"float64 array of {array.nbytes / 1e6:.1f} MB, pack+unpack per call:")
    print(f"  zelk BytePacker           {zelk * 1e3:8.2f} ms")
    print(f"  msgpack + Python hooks    {python * 1e3:8.2f} ms")
    print(f"  pickle protocol 5         {pickled * 1e3:8.2f} ms")
    print(f"  zelk / pickle: {zelk / pickled:.2f}x (target: within 1.5x)")


if __name__ == "__main__":
    main()
