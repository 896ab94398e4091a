"""Seeded fuzz loops over every decoder a peer's bytes reach: bad input raises, never crashes, hangs or breaks the C API."""

import faulthandler
import os
import random

import pytest

import fuzzing
from zelk.ring import Connection


@pytest.fixture(autouse=True)
def no_hang():
    """A loop stuck on some input ends the run with every thread's traceback instead of stalling it.
    Under AddressSanitizer each lying length field costs a poisoned gigabyte: more time is allowed."""
    faulthandler.dump_traceback_later(900 if os.environ.get("ZELK_SANITIZE") == "1" else 120, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.mark.parametrize("name", fuzzing.DECODERS)
def test_mutated_and_random_input_raises_or_decodes(name):
    seeds, feed = fuzzing.DECODERS[name]
    rng = random.Random(name)
    alphabet = fuzzing.LITERAL_LETTERS if name == "literal" else None
    inputs = fuzzing.random_inputs(rng, 1000)
    for seed in seeds():
        if alphabet:
            inputs += [m.encode() for m in fuzzing.mutations(seed.decode(), rng, count=400, alphabet=alphabet)]
        else:
            inputs += fuzzing.mutations(seed[:5000], rng, count=150, cuts=30)
    for data in inputs:
        feed(data, rng)


@pytest.mark.parametrize("websocket", [False, True], ids=["binary", "websocket"])
@pytest.mark.parametrize("into", [False, True], ids=["recv", "recv_into"])
def test_a_stream_reads_the_same_in_any_pieces_and_after_time_outs(websocket, into):
    seeds = fuzzing.websocket_seeds() if websocket else fuzzing.stream_seeds()
    rng = random.Random(f"pieces-{websocket}-{into}")
    for stream in seeds + [b"".join(rng.sample(seeds, 3)) for _ in range(10)]:
        whole = fuzzing.ScriptedSocket(stream, into=into)
        expected = fuzzing.read_all(connection(whole, websocket))
        for _ in range(5):
            cut = fuzzing.ScriptedSocket(*fuzzing.pieces(stream, rng, timeouts=0.3), into=into)
            got = [v for v in fuzzing.read_all(connection(cut, websocket), limit=10_000) if v is not TimeoutError]
            assert repr(got) == repr(expected) and cut.sent == whole.sent


def connection(sock, websocket):
    c = Connection(sock)
    c._onwebs = websocket
    return c


@pytest.fixture
def server(capsys):
    server = fuzzing.garbage_server()
    yield server.server_address
    server.shutdown()
    server.server_close()
    capsys.readouterr()


def test_a_server_fed_garbage_keeps_answering(server):
    rng = random.Random(96)
    inputs = fuzzing.random_inputs(rng, 40) + [b"GET " + data for data in fuzzing.random_inputs(rng, 20)]
    for seed in fuzzing.server_seeds():
        inputs += list(fuzzing.mutations(seed[:3000], rng, count=25, cuts=4))
    for i, data in enumerate(inputs):
        fuzzing.feed_server(server, data)
        if i % 50 == 0:
            assert fuzzing.still_answers(server)
    assert fuzzing.still_answers(server)
