"""`python -m zelk`: a short tour of what zelk does, printed to the console."""

import socket

import numpy as np

from zelk.minter import generator, strfid
from zelk.ring import Connection, get_port
from zelk.scribe import BrillPrint, iformat


def main() -> None:
    log = BrillPrint("ZELK.DEMO")
    log.info("zelk is installed and its native modules load")

    # One call record and one array, framed and sent over a socket pair.
    left, right = socket.socketpair()
    sender, receiver = Connection(left), Connection(right)
    record: tuple[int, int, str, tuple[int, int], dict[str, int]] = (0, 7, "calc.add", (1, 2), {})
    sender.send(record)
    sender.send(np.arange(6.0).reshape(2, 3))
    log.debug(f"received {receiver.recv()!r}")
    log.debug(f"received an array of shape {receiver.recv().shape}")
    log.debug(iformat("calc.add", (1, 2), {"x": 3}) + f"on port {get_port('calc')} by default")
    sender.close()
    receiver.close()

    next_id = generator(wid=3)
    log.info(f"an ID: {strfid(next_id())}")
    try:
        1 / 0
    except ZeroDivisionError as e:
        log.error(e)
    log.warning("serving and connecting arrive with the server and client modules")


if __name__ == "__main__":
    main()
