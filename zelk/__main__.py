"""`python -m zelk`: a short tour of what zelk does, printed to the console."""

import importlib


def main() -> None:
    scribe = importlib.import_module("zelk.scribe")
    log = scribe.BrillPrint("ZELK.DEMO")
    log.info("zelk is installed and its native modules load")
    log.debug(scribe.iformat("calc.add", (1, 2), {"x": 3}))
    try:
        1 / 0
    except ZeroDivisionError as e:
        log.error(e)
    log.warning("more of zelk arrives module by module")


if __name__ == "__main__":
    main()
