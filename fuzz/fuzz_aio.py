"""atheris over the asyncio client's reader, the answers cut into pieces while calls wait: make fuzz FUZZ=aio."""

import harness

harness.main(["aio"])
