"""What the atheris harnesses share: a guarded serializer, native coverage, seed corpora and the fuzzing loop."""

import ctypes
import hashlib
import os
import pathlib
import pickle
import pickletools
import random
import sys
import types

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

# Only these classes may come out of a pickle a fuzzer made up: it could otherwise call any function.
HARMLESS = {("builtins", "complex"), ("builtins", "set"), ("builtins", "frozenset"), ("builtins", "bytearray")}


class Unpickler(pickle.Unpickler):
    def find_class(self, module, name):
        if (module, name) not in HARMLESS:
            raise pickle.UnpicklingError(f"{module}.{name} is not loaded while fuzzing")
        return super().find_class(module, name)


def guarded_loads(data):
    """pickle.loads for made-up bytes: opcodes are checked first, since a corrupt length field in a
    pickle asks for that much memory, and only harmless classes are loaded."""
    import io

    for _ in pickletools.genops(data):
        pass
    return Unpickler(io.BytesIO(data)).load()


def guard_serializer():
    """zelk.protocol takes the serializer it finds at import: it is handed the guarded one, under the
    name of the alternative it accepts, before anything imports it."""
    assert "zelk.protocol" not in sys.modules
    os.environ["SERIALIZER"] = "dill"
    sys.modules["dill"] = types.SimpleNamespace(dumps=pickle.dumps, loads=guarded_loads)


def hand_over_native_coverage():
    """Gives libFuzzer the block counters of each zelk module built with them (the sanitizer build).
    atheris loads libFuzzer once fuzzing starts, so this runs with the first input; its entry points
    are looked up in its own library, since the preloaded sanitizer runtime has stand-ins of them."""
    core = next((line.split()[-1] for line in open("/proc/self/maps") if "atheris/core_with" in line), None)
    if core is None:
        print("harness: libFuzzer not found; native code runs without coverage", file=sys.stderr)
        return
    libfuzzer = ctypes.CDLL(core)
    import zelk

    handed = []
    for path in sorted(pathlib.Path(zelk.__file__).parent.glob("*.so")):
        module = ctypes.CDLL(str(path))
        if hasattr(module, "zelk_coverage_register"):
            module.zelk_coverage_register(libfuzzer.__sanitizer_cov_8bit_counters_init, libfuzzer.__sanitizer_cov_pcs_init)
            handed.append(path.name.split(".")[0])
    print(f"harness: native coverage of {', '.join(handed) or 'no module (not the sanitizer build)'}", file=sys.stderr)


def write_corpus(folder, seeds):
    folder.mkdir(parents=True, exist_ok=True)
    for seed in seeds:
        (folder / hashlib.sha1(seed).hexdigest()).write_bytes(seed)


def main(names, feed=None, setup=None):
    """Fuzzes the decoders `names` of tests/fuzzing.py (or `feed(data)`), starting from their seeds;
    libFuzzer's options come from the command line. The corpus and any crash land in build/fuzz/."""
    guard_serializer()
    import atheris

    # Python code is not instrumented: the preloaded sanitizer runtime would take its counters
    # (see hand_over_native_coverage), and the code under test is native anyway.
    import fuzzing
    import zelk.protocol

    zelk.protocol.log.error = lambda text: None  # each array that fails to rebuild is reported: quietly here

    decoders = [fuzzing.DECODERS[n] for n in names if n in fuzzing.DECODERS]
    out = ROOT / "build" / "fuzz" / pathlib.Path(sys.argv[0]).stem.removeprefix("fuzz_")
    corpus = out / "corpus"
    write_corpus(corpus, [s for n in names for s in getattr(fuzzing, f"{n}_seeds", lambda: [])()]
                 + [s for seeds, _ in decoders for s in seeds()])
    sys.setrecursionlimit(5000)
    state = setup() if setup else None
    covered = []

    def one_input(data):
        if not covered:
            covered.append(hand_over_native_coverage())
        if feed:
            feed(state, data)
            return
        rng = random.Random(data)
        for _, run in decoders:
            run(data, rng)

    replay = any(not a.startswith("-") for a in sys.argv[1:])  # input files given: run just those
    args = [sys.argv[0], f"-artifact_prefix={out}/", *sys.argv[1:], *([] if replay else [str(corpus)])]
    atheris.Setup(args, one_input)
    atheris.Fuzz()
