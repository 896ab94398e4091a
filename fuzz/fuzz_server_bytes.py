"""atheris feeding a zelk server raw bytes on real sockets; it must keep answering a well-behaved client: make fuzz FUZZ=server_bytes."""

import harness


def start():
    import fuzzing

    return fuzzing.garbage_server().server_address


def feed(address, data):
    import fuzzing

    fuzzing.feed_server(address, data)
    if data[:1] == b"\x00":  # now and then, as cheaply as the fuzzer picks it
        assert fuzzing.still_answers(address), "the server stopped answering"


harness.main(["server"], feed=feed, setup=start)
