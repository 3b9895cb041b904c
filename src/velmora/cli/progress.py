"""Step-by-step progress of a command on standard error."""

import sys
from typing import Callable, Optional, TextIO


class Progress:
    """Step-by-step progress on standard error when it is a terminal; silent otherwise."""

    def __init__(self, total: int, stream: Optional[TextIO] = None) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = hasattr(self.stream, "isatty") and self.stream.isatty()
        self.total = total
        self.done = 0

    def step(self, label: str) -> None:
        self.done += 1
        if self.enabled:
            self.stream.write(f"\r\x1b[K[{self.done}/{self.total}] {label}")
            self.stream.flush()

    def stepper(self, prefix: str) -> Callable[[str], None]:
        """step() for labels that start with `prefix`."""
        return lambda label: self.step(f"{prefix}{label}")

    def finish(self) -> None:
        if self.enabled and self.done:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
