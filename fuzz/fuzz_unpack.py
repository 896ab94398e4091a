"""atheris over BytePacker.unpack (bytes, bytearray and memoryviews alike): make fuzz FUZZ=unpack SECONDS=300."""

import harness

harness.main(["unpack"])
