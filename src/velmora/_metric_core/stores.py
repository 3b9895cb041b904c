"""How long the results the metrics share are kept.

The metrics of one evaluation compute the same things from the same frames (embedded
rows, searches, prepared tasks, sorted columns), so each is kept in a small store under
a key that stands for the contents it came from. Results computed from whole frames are
kept only while those frames live (``FrameResults``): once the caller lets go of a
table, nothing computed from it stays behind. Every store is bounded, and
``clear_shared_results`` empties them all at once.
"""

import threading
import weakref
from collections import OrderedDict
from typing import Callable, Generic, Hashable, Iterable, List, Optional, TypeVar

__all__ = ["FrameResults", "clear_shared_results", "on_clear"]

Value = TypeVar("Value")

_CLEARERS: List[Callable[[], None]] = []


def on_clear(clear: Callable[[], None]) -> Callable[[], None]:
    """Registers ``clear`` (a store's way of emptying itself) with
    ``clear_shared_results``; returns it."""
    _CLEARERS.append(clear)
    return clear


def clear_shared_results() -> None:
    """Drops every result the metrics keep between calls. Evaluations after it compute
    everything afresh (with the same values); it frees the memory the results take."""
    for clear in _CLEARERS:
        clear()


class FrameResults(Generic[Value]):
    """Results computed from whole frames: at most ``max_entries``, the least recently
    used dropped first, and each dropped as soon as one of the frames it was computed
    from is garbage-collected."""

    def __init__(self, max_entries: int) -> None:
        self.max_entries = max_entries
        self._entries: "OrderedDict[Hashable, Value]" = OrderedDict()
        self._lock = threading.Lock()
        # Keys whose frames died while the store was in use; dropped at its next use.
        self._dead: List[Hashable] = []
        on_clear(self.clear)

    def __len__(self) -> int:
        return len(self._entries)

    def get(self, key: Hashable) -> Optional[Value]:
        with self._lock:
            self._drop_dead()
            value = self._entries.get(key)
            if value is not None:
                self._entries.move_to_end(key)
            return value

    def put(self, key: Hashable, value: Value, frames: Iterable[object]) -> None:
        with self._lock:
            self._drop_dead()
            self._entries[key] = value
            self._entries.move_to_end(key)
            while len(self._entries) > self.max_entries:
                self._entries.popitem(last=False)
        for frame in frames:
            weakref.finalize(frame, self._forget, key)

    def clear(self) -> None:
        with self._lock:
            self._entries.clear()
            self._dead.clear()

    def _forget(self, key: Hashable) -> None:
        # Called by the garbage collector, which may run while this thread or another
        # holds the lock: then the key is dropped at the store's next use instead.
        if self._lock.acquire(blocking=False):
            try:
                self._entries.pop(key, None)
            finally:
                self._lock.release()
        else:
            self._dead.append(key)

    def _drop_dead(self) -> None:
        while self._dead:
            self._entries.pop(self._dead.pop(), None)
