"""Print the [build-system] requirements of a pyproject.toml, one per word.

Python 3.9 has no TOML reader in its standard library; the block is a plain list of
quoted strings, which a regular expression reads reliably.
"""
import re
import sys

with open(sys.argv[1], encoding="utf-8") as handle:
    text = handle.read()
block = re.search(r"^\[build-system\]\s*requires\s*=\s*\[(.*?)\]", text, re.S | re.M)
if block is None:
    sys.exit("no [build-system] requires list in " + sys.argv[1])
print(" ".join(re.findall(r'"([^"]+)"', block.group(1))))
