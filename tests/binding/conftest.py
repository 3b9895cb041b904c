"""The probe module is a test-only extension: the build makes it in the build tree
(<build dir>/test_modules/velmora) and does not install it, so the package's search path
is extended here to find it as velmora._binding_probe."""

import pathlib
import sys

import velmora

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = ROOT / "build" / f"wheel-cp{sys.version_info[0]}{sys.version_info[1]}" / "test_modules" / "velmora"

if not any(BUILD.glob("_binding_probe.*")):
    raise RuntimeError(
        f"the test-only extension velmora._binding_probe is not built in {BUILD}; "
        "run the tests with bash tools/dev.sh test"
    )
if str(BUILD) not in velmora.__path__:
    velmora.__path__.append(str(BUILD))
