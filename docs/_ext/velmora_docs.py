"""Sphinx additions of velmora's documentation.

- ``velmora-help``: the ``--help`` text of the command line (or of one of its commands),
  rendered from the parser itself, so the reference cannot drift from the program.
- ``velmora-session``: a terminal session (``$ velmora ...`` lines and their output)
  shown as a console block and run by the doctest builder: each command runs in-process
  through ``velmora.cli.main`` and its output must match the lines shown. A command
  may go on over lines ending in a backslash; ``$ echo $?`` after a command checks its
  exit status; ``$ cat FILE`` shows a file.
- The docstrings of the extension modules begin with their signature line (the name,
  then each parameter with its checked kind, such as ``str rule: str``); autodoc takes
  the signature from ``inspect.signature`` instead, so that line is dropped from the
  text.
"""

import contextlib
import dataclasses
import io
import os
import re
import shlex
from typing import Any, Dict, List, Optional, Tuple

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.application import Sphinx
from sphinx.ext.autodoc import MethodDocumenter
from sphinx.util.docutils import SphinxDirective

# The width the help texts are wrapped to, whatever terminal builds the site.
HELP_COLUMNS = "80"


def help_text(command: Optional[str] = None) -> str:
    """``velmora --help`` or ``velmora COMMAND --help``, as the program prints it."""
    from velmora.cli import build_parser

    previous = os.environ.get("COLUMNS")
    os.environ["COLUMNS"] = HELP_COLUMNS
    try:
        parser = build_parser()
        if command is None:
            return parser.format_help()
        for action in parser._actions:
            choices = getattr(action, "choices", None)
            if isinstance(choices, dict) and command in choices:
                return choices[command].format_help()
        raise ValueError(f"velmora has no command {command!r}")
    finally:
        if previous is None:
            del os.environ["COLUMNS"]
        else:
            os.environ["COLUMNS"] = previous


class HelpDirective(SphinxDirective):
    """``velmora-help [COMMAND]``: the help text as a literal block."""

    optional_arguments = 1
    has_content = False

    def run(self) -> List[nodes.Node]:
        command = self.arguments[0] if self.arguments else None
        try:
            text = help_text(command).rstrip("\n")
        except ValueError as error:
            raise self.error(str(error)) from None
        block = nodes.literal_block(text, text)
        block["language"] = "text"
        self.set_source_info(block)
        return [block]


def run_command(line: str, status: int = 0) -> None:
    """Run one shell line of a session and print what a terminal would show: the
    standard output, then the standard error. A status other than `status` is printed
    too, so that the doctest fails on it."""
    argv = shlex.split(line)
    if argv[:1] == ["cat"] and len(argv) == 2:
        with open(argv[1], encoding="utf-8") as handle:
            print(handle.read(), end="")
        return
    if argv[:1] != ["velmora"]:
        raise ValueError(f"a session runs velmora commands and 'cat FILE', not {line!r}")
    from velmora.cli import main

    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        try:
            code = main(argv[1:])
        except SystemExit as stop:  # --help and --version end through argparse
            code = stop.code if isinstance(stop.code, int) else 1
    print(out.getvalue() + err.getvalue(), end="")
    if code != status:
        print(f"[exit status {code}, expected {status}]")


def parse_session(lines: List[str]) -> List[Tuple[str, List[str], int]]:
    """The commands of a session with their output lines and expected exit status."""
    commands: List[Tuple[str, List[str], int]] = []
    continued = False
    for line in lines:
        if continued:
            # A command broken over lines with a trailing backslash, as in a shell.
            command, output, status = commands[-1]
            commands[-1] = (command[:-1].rstrip() + " " + line.strip(), output, status)
            continued = line.rstrip().endswith("\\")
            continue
        if line.startswith("$ "):
            continued = line.rstrip().endswith("\\")
            command = line[2:].strip()
            if command == "echo $?":
                if not commands:
                    raise ValueError("'echo $?' needs a command before it")
                commands.append(("echo $?", [], 0))
            else:
                commands.append((command, [], 0))
        elif not commands:
            raise ValueError(f"a session starts with a '$ ' command line, not {line!r}")
        else:
            commands[-1][1].append(line)
    # Each 'echo $?' gives the status of the command before it.
    result: List[Tuple[str, List[str], int]] = []
    for command, output, status in commands:
        if command == "echo $?":
            shown = [text for text in output if text.strip()]
            if len(shown) != 1 or not shown[0].strip().isdigit():
                raise ValueError("'echo $?' is followed by one line: the exit status")
            previous, previous_output, _ = result[-1]
            result[-1] = (previous, previous_output, int(shown[0]))
        else:
            result.append((command, output, status))
    return result


def doctest_source(command: str, output: List[str], status: int) -> str:
    """The doctest that runs `command` and expects `output`."""
    call = f"run_command({command!r})" if status == 0 else f"run_command({command!r}, status={status})"
    lines = [f">>> {call}"]
    # A blank line would end doctest's expected output: doctest writes it as <BLANKLINE>.
    lines += [text if text.strip() else "<BLANKLINE>" for text in output]
    while len(lines) > 1 and lines[-1] == "<BLANKLINE>":
        lines.pop()
    return "\n".join(lines)


class SessionDirective(SphinxDirective):
    """``velmora-session``: a console block whose commands are doctested."""

    has_content = True
    option_spec: Dict[str, Any] = {"hide-output": directives.flag}

    def run(self) -> List[nodes.Node]:
        lines = list(self.content)
        try:
            commands = parse_session(lines)
        except ValueError as error:
            raise self.error(str(error)) from None
        text = "\n".join(lines)
        block = nodes.literal_block(text, text)
        block["language"] = "console"
        self.set_source_info(block)
        result: List[nodes.Node] = [block]
        for command, output, status in commands:
            source = doctest_source(command, output, status)
            # A comment is not rendered; the doctest builder runs it like a hidden
            # doctest block of the default group.
            test = nodes.comment(source, source, testnodetype="doctest")
            test["groups"] = ["default"]
            test["options"] = {}
            self.set_source_info(test)
            result.append(test)
        return result


_SIGNATURE_LINE = re.compile(r"^[A-Za-z_][\w.]*\(.*\)(\s*->\s*.+)?$")
_TITLE_UNDERLINE = re.compile(r"^([=~\-^\"'`#*+])\1+$")


def _dedent(lines: List[str]) -> None:
    """Remove the indentation the lines share (blank lines aside), in place."""
    indents = [len(line) - len(line.lstrip()) for line in lines if line.strip()]
    common = min(indents, default=0)
    if common:
        lines[:] = [line[common:] for line in lines]


def _escape_bars(lines: List[str]) -> None:
    """Escape the bars of plain-text formulas (``|p_k - q_k|``), which reST would read
    as substitutions; bars in inline literals, literal blocks and doctest blocks stay."""
    literal_indent: Optional[int] = None
    in_doctest = False
    for position, line in enumerate(lines):
        stripped = line.strip()
        indent = len(line) - len(line.lstrip())
        if literal_indent is not None:
            if not stripped or indent > literal_indent:
                continue
            literal_indent = None
        if in_doctest:
            in_doctest = bool(stripped)
            continue
        if stripped.startswith(">>>"):
            in_doctest = True
            continue
        if "|" in line:
            parts = line.split("``")
            lines[position] = "``".join(
                part.replace("|", "\\|") if index % 2 == 0 else part for index, part in enumerate(parts)
            )
        if stripped.endswith("::"):
            literal_indent = indent


def clean_docstring(app: Sphinx, what: str, name: str, obj: Any, options: Any, lines: List[str]) -> None:
    """Docstrings are written for ``help()``: formulas in plain text, bars included."""
    clean_native_docstring(lines, what, name)
    _escape_bars(lines)


def clean_native_docstring(lines: List[str], what: str, name: str) -> None:
    """Make an extension module's docstring read as a Python one's.

    A function's docstring there starts with its signature line and a blank line, and
    the text after it keeps the indentation of the source it was written in; autodoc
    dedents as if the signature line were the summary. So the signature line is
    dropped and the rest dedented as Python dedents a docstring (the first line apart).
    A module docstring that starts with the module's name as a section title loses the
    title (the page has its own).
    """
    if what == "module":
        while lines and not lines[0].strip():
            del lines[0]
        if len(lines) >= 2 and lines[0].strip() == name and _TITLE_UNDERLINE.match(lines[1].strip()):
            del lines[:2]
            while lines and not lines[0].strip():
                del lines[0]
        return
    if not lines or not _SIGNATURE_LINE.match(lines[0]):
        return
    # The function's own name, or for a class (whose constructor's docstring autodoc
    # adds to the class's) the constructor's.
    head, short = lines[0].split("(", 1)[0], name.rsplit(".", 1)[-1]
    if head.rsplit(".", 1)[-1] != short and not head.endswith(f"{short}.__init__"):
        return
    del lines[0]
    while lines and not lines[0].strip():
        del lines[0]
    rest = lines[1:]
    _dedent(rest)
    lines[1:] = rest


class NativeMethodDocumenter(MethodDocumenter):
    """The methods of the extension modules' classes.

    They are objects of the binding layer's function type, a descriptor that binds like
    a Python function; autodoc, which knows only the built-in descriptor types, would
    take them for attributes and show no signature."""

    objtype = "nativemethod"
    directivetype = "method"
    priority = MethodDocumenter.priority + 20  # above the attribute documenter's

    @classmethod
    def can_document_member(cls, member: Any, membername: str, isattr: bool, parent: Any) -> bool:
        return type(member).__name__ == "velmora_function" and super().can_document_member(
            member, membername, isattr, parent
        )


_QUOTED_NAME = re.compile(r"(?<=[:\[,] )'([A-Za-z_][\w.]*)'|(?<=\[)'([A-Za-z_][\w.]*)'")


def _unquote(text: str) -> str:
    """Annotations written as strings of a forward reference ('EvaluationReport') without
    their quotes; default values (= 'minimal') keep theirs."""
    return _QUOTED_NAME.sub(lambda match: match.group(1) or match.group(2), text)


def _factory_defaults(obj: Any, signature: str) -> str:
    """A dataclass's signature with each default made by a factory written as the value
    it makes ({} or []) or as ``...``: inspect writes ``<factory>``, which is no Python
    expression, and newer Sphinx releases then split the signature at every comma."""
    if not (isinstance(obj, type) and dataclasses.is_dataclass(obj)):
        return signature
    for item in dataclasses.fields(obj):
        if item.default_factory is dataclasses.MISSING:
            continue
        shown = {dict: "{}", list: "[]"}.get(item.default_factory, "...")
        signature = signature.replace("<factory>", shown, 1)
    return signature


def clean_signature(
    app: Sphinx, what: str, name: str, obj: Any, options: Any, signature: Optional[str], annotation: Optional[str]
) -> Optional[Tuple[Optional[str], Optional[str]]]:
    if signature is None and annotation is None:
        return None
    if signature is not None:
        signature = _factory_defaults(obj, signature)
    if annotation is not None:
        annotation = re.sub(r"^'([A-Za-z_][\w.]*)'$", r"\1", annotation.strip())
    return (None if signature is None else _unquote(signature)), annotation


def setup(app: Sphinx) -> Dict[str, Any]:
    app.add_directive("velmora-help", HelpDirective)
    app.add_directive("velmora-session", SessionDirective)
    # Before napoleon (priority 500), which reads the sections of the cleaned text.
    app.connect("autodoc-process-docstring", clean_docstring, priority=400)
    app.connect("autodoc-process-signature", clean_signature)
    app.add_autodocumenter(NativeMethodDocumenter)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
