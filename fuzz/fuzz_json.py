"""atheris over JsonPacker.loads and the complex and set texts its object hook reads: make fuzz FUZZ=json."""

import harness

harness.main(["json", "literal"])
