"""atheris over WebSocket.header, decode and unpack: make fuzz FUZZ=websocket SECONDS=300."""

import harness

harness.main(["websocket"])
