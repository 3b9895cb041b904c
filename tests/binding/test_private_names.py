"""The private pandas and numpy names the native code relies on still exist, as the
code's own table (exposed through the probe module) describes them."""

import functools
import importlib

import pytest
import velmora._binding_probe as probe

ROWS = probe._pandas_internals + probe._numpy_internals


def lookup(module, path):
    return functools.reduce(getattr, path.split("."), importlib.import_module(module))


@pytest.mark.parametrize("check, module, path, text, checked, used_for", ROWS, ids=[f"{r[1]}:{r[2]}" for r in ROWS])
def test_private_name_still_exists(check, module, path, text, checked, used_for):
    found = lookup(module, path)
    if check == "equals":
        assert found == text
    elif check == "makes_prefix":
        assert found("a b").startswith(text)
    elif check == "keys":
        assert set(found) - {"True", "False"} == set(text.split())
    elif check == "key_length":
        assert found().state["state"]["key"].size == int(text)
    else:
        assert check == "exists"
    # The versions named are the ones the tests run with (the two locks): a lock that
    # moves to a new release must have its names checked again and the table updated.
    library, versions = checked.split(" ", 1)
    assert importlib.import_module(library).__version__ in versions.replace(" and", ",").split(", "), checked
    assert used_for
