"""atheris over both sides of the key handshake, the input cut into pieces with time-outs: make fuzz FUZZ=handshake."""

import harness

harness.main(["handshake"])
