"""Print requirements of a pyproject.toml, one per line.

    python tools/requirements.py build pyproject.toml        the [build-system] requires
    python tools/requirements.py runtime pyproject.toml      dependencies and every extra
    python tools/requirements.py lower-ends pyproject.toml   NAME==LOWER for each dependency
                                                             and each requirement of the
                                                             extras users install (parquet)

Python 3.9 has no TOML reader in its standard library; the lists read here are plain
lists of double-quoted strings (with # comments between them), which a regular
expression reads reliably.
"""

import re
import sys

# Extras that add runtime features (not development tools): the lowest lock holds their
# lower ends too.
USER_EXTRAS = ("parquet",)


def strip_comments(text):
    """The text without # comments (a # inside a double-quoted string is kept)."""
    lines = []
    for line in text.splitlines():
        quoted = False
        for position, char in enumerate(line):
            if char == '"':
                quoted = not quoted
            elif char == "#" and not quoted:
                line = line[:position]
                break
        lines.append(line)
    return "\n".join(lines)


def string_list(text, pattern, source):
    match = re.search(pattern + r"\s*=\s*\[(.*?)\]", text, re.S | re.M)
    if match is None:
        sys.exit(f"no {pattern.strip('^')} list in {source}")
    return re.findall(r'"([^"]+)"', match.group(1))


def section(text, name):
    """The body of the TOML table [name], up to the next table header."""
    match = re.search(r"^\[" + re.escape(name) + r"\]\s*$(.*?)(?=^\[|\Z)", text, re.S | re.M)
    return match.group(1) if match else ""


def main(mode, path):
    with open(path, encoding="utf-8") as handle:
        text = strip_comments(handle.read())
    if mode == "build":
        return string_list(section(text, "build-system"), r"^requires", path)
    dependencies = string_list(section(text, "project"), r"^dependencies", path)
    if mode == "lower-ends":
        extras = section(text, "project.optional-dependencies")
        for name in USER_EXTRAS:
            dependencies += string_list(extras, "^" + re.escape(name), path)
        ends = []
        for requirement in dependencies:
            match = re.match(r"^\s*([A-Za-z0-9_.\-]+)\s*(?:\[[^\]]*\])?\s*.*?>=\s*([^,;\s]+)", requirement)
            if match is None:
                sys.exit(f"{path}: the dependency {requirement!r} has no lower end (>=)")
            ends.append(f"{match.group(1)}=={match.group(2)}")
        return ends
    if mode == "runtime":
        extras = section(text, "project.optional-dependencies")
        names = re.findall(r"^([A-Za-z0-9_\-]+)\s*=\s*\[", extras, re.M)
        for name in names:
            dependencies += string_list(extras, "^" + re.escape(name), path)
        return dependencies
    sys.exit(f"unknown mode {mode!r}; expected build, runtime or lower-ends")


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    print("\n".join(main(sys.argv[1], sys.argv[2])))
