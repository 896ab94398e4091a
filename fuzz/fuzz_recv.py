"""atheris over Connection.recv in binary and WebSocket mode, the input cut into pieces with time-outs: make fuzz FUZZ=recv."""

import harness

harness.main(["recv", "recv_websocket"])
