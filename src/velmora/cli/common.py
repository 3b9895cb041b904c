"""What every command shares: the exit statuses, the error a command reports as one
line, and the wording of counts and errors."""

EXIT_GATE_FAILED = 1
EXIT_BAD_INPUT = 2
EXIT_INTERNAL_ERROR = 3
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141  # what a shell reports for a command ended by SIGPIPE


class CommandError(Exception):
    """A problem with the command's input, reported as one line."""


def counted(number: int, noun: str) -> str:
    """`number` `noun`s, the number with thousands separators: "1 row", "2,000 rows"."""
    return f"{number:,} {noun}{'' if number == 1 else 's'}"


def one_line(error: BaseException) -> str:
    """The first line of an error's text, or its type's name when it has none."""
    text = str(error).strip().splitlines()
    return text[0] if text else type(error).__name__
