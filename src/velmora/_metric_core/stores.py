"""How long the results the metrics share are kept.

The metrics of one evaluation compute the same things from the same frames (embedded
rows, searches, prepared tasks, sorted columns), so each is kept in a small store under
a key that stands for the contents it came from: BLAKE3 digests of the values, their
dtype and shape (``kernels.content_digest``), never the identity of an object, so a
changed input always misses. Results computed from whole frames are kept only while
those frames live (``FrameResults``): once the caller lets go of a table, nothing
computed from it stays behind. Every store is bounded, every access to one holds its
lock, and ``clear_shared_results`` empties them all at once, safely while another
thread evaluates.
"""

import contextlib
import contextvars
import threading
import weakref
from collections import OrderedDict
from typing import Any, Callable, Dict, Generic, Hashable, Iterable, Iterator, List, Optional, Tuple, TypeVar

__all__ = [
    "FrameResults",
    "ResultStore",
    "clear_shared_results",
    "in_metric_scope",
    "metric_scope",
    "on_clear",
    "remembered",
]

Value = TypeVar("Value")

_CLEARERS: List[Callable[[], None]] = []


def on_clear(clear: Callable[[], None]) -> Callable[[], None]:
    """Registers ``clear`` (a store's way of emptying itself, under its own lock) with
    ``clear_shared_results``; returns it."""
    _CLEARERS.append(clear)
    return clear


def clear_shared_results() -> None:
    """Drops every result the metrics keep between calls. Evaluations after it compute
    everything afresh (with the same values); it frees the memory the results take. An
    evaluation running in another thread meanwhile goes on, computing afresh what it
    no longer finds."""
    for clear in _CLEARERS:
        clear()


# The digests of one evaluation: the frames an evaluation reads do not change while it
# runs, and its metrics key their results by the same columns again and again.
_SCOPE: "contextvars.ContextVar[Optional[Dict[tuple, Tuple[Any, Any]]]]" = contextvars.ContextVar(
    "velmora_metric_scope", default=None
)


@contextlib.contextmanager
def metric_scope() -> Iterator[None]:
    """Within the block (one evaluation, during which its frames do not change), the
    digest of an array is computed once: a later request for the digest of the same
    memory (address, shape, strides and dtype) gets the first answer. The arrays
    digested are held until the block ends, so that their memory cannot be reused by
    another array meanwhile. Blocks nest; the outermost holds the digests."""
    if _SCOPE.get() is not None:
        yield
        return
    token = _SCOPE.set({})
    try:
        yield
    finally:
        _SCOPE.reset(token)


def in_metric_scope() -> bool:
    """Whether a ``metric_scope`` is open in this thread."""
    return _SCOPE.get() is not None


def remembered(key: Tuple[str, Any], compute: Callable[[], Value]) -> Value:
    """``compute()``, or within a ``metric_scope`` its earlier answer for the same kind
    and memory of ``key`` = (kind, numpy array)."""
    memo = _SCOPE.get()
    kind, values = key
    interface = getattr(values, "__array_interface__", None)
    if memo is None or interface is None:
        return compute()
    place = (
        kind,
        interface["data"][0],
        interface["shape"],
        interface["strides"],
        interface["typestr"],
        str(values.dtype),
    )
    found = memo.get(place)
    if found is None:
        found = (values, compute())
        memo[place] = found
    return found[1]


class ResultStore(Generic[Value]):
    """Results under content keys: at most ``max_entries`` of them and ``max_bytes`` of
    ``size(value)`` in all, the least recently used dropped first (the newest is kept
    even when it alone is larger). Safe to use from several threads."""

    def __init__(
        self,
        max_entries: Optional[int] = None,
        max_bytes: Optional[int] = None,
        size: Callable[[Value], int] = lambda value: 0,
    ) -> None:
        self.max_entries = max_entries
        self.max_bytes = max_bytes
        self._size = size
        self._entries: "OrderedDict[Hashable, Tuple[Value, int]]" = OrderedDict()
        self._bytes = 0
        self._lock = threading.Lock()
        on_clear(self.clear)

    def __len__(self) -> int:
        return len(self._entries)

    def lookup(self, key: Hashable) -> Tuple[bool, Optional[Value]]:
        """(found, value): whether ``key`` is stored, and its value."""
        with self._lock:
            entry = self._entries.get(key)
            if entry is None:
                return False, None
            self._entries.move_to_end(key)
            return True, entry[0]

    def get(self, key: Hashable) -> Optional[Value]:
        return self.lookup(key)[1]

    def __contains__(self, key: Hashable) -> bool:
        with self._lock:
            return key in self._entries

    def put(self, key: Hashable, value: Value) -> None:
        size = int(self._size(value))
        with self._lock:
            old = self._entries.pop(key, None)
            if old is not None:
                self._bytes -= old[1]
            self._entries[key] = (value, size)
            self._bytes += size
            while len(self._entries) > 1 and (
                (self.max_entries is not None and len(self._entries) > self.max_entries)
                or (self.max_bytes is not None and self._bytes > self.max_bytes)
            ):
                _, (_, dropped) = self._entries.popitem(last=False)
                self._bytes -= dropped

    def clear(self) -> None:
        with self._lock:
            self._entries.clear()
            self._bytes = 0


class FrameResults(Generic[Value]):
    """Results computed from whole frames: at most ``max_entries``, the least recently
    used dropped first, and each dropped as soon as one of the frames it was computed
    from is garbage-collected. A dropped result leaves nothing behind: the watches on
    its frames go with it, so a frame that outlives many results (one real table
    evaluated against many synthetic ones) holds none of them."""

    def __init__(self, max_entries: int) -> None:
        self.max_entries = max_entries
        self._entries: "OrderedDict[Hashable, Tuple[Value, List[weakref.finalize]]]" = OrderedDict()
        self._lock = threading.Lock()
        # Keys whose frames died while the store was in use; dropped at its next use.
        self._dead: List[Hashable] = []
        on_clear(self.clear)

    def __len__(self) -> int:
        return len(self._entries)

    def get(self, key: Hashable) -> Optional[Value]:
        dropped: List[weakref.finalize] = []
        with self._lock:
            self._drop_dead(dropped)
            entry = self._entries.get(key)
            if entry is not None:
                self._entries.move_to_end(key)
        _detach(dropped)
        return None if entry is None else entry[0]

    def put(self, key: Hashable, value: Value, frames: Iterable[object]) -> None:
        # The watches are made outside the lock: making one may run the garbage
        # collector, whose callbacks (_forget) may want the lock.
        watches = [weakref.finalize(frame, self._forget, key) for frame in frames]
        dropped: List[weakref.finalize] = []
        with self._lock:
            self._drop_dead(dropped)
            old = self._entries.pop(key, None)
            if old is not None:
                dropped.extend(old[1])
            self._entries[key] = (value, watches)
            while len(self._entries) > self.max_entries:
                dropped.extend(self._entries.popitem(last=False)[1][1])
        _detach(dropped)

    def clear(self) -> None:
        dropped: List[weakref.finalize] = []
        with self._lock:
            for _, watches in self._entries.values():
                dropped.extend(watches)
            self._entries.clear()
            self._dead.clear()
        _detach(dropped)

    def _forget(self, key: Hashable) -> None:
        # Called by the garbage collector, which may run while this thread or another
        # holds the lock: then the key is dropped at the store's next use instead.
        if self._lock.acquire(blocking=False):
            try:
                entry = self._entries.pop(key, None)
            finally:
                self._lock.release()
            if entry is not None:
                _detach(entry[1])
        else:
            self._dead.append(key)

    def _drop_dead(self, dropped: List[weakref.finalize]) -> None:
        while self._dead:
            entry = self._entries.pop(self._dead.pop(), None)
            if entry is not None:
                dropped.extend(entry[1])


def _detach(watches: Iterable[weakref.finalize]) -> None:
    """Ends the watches of dropped results, so that the frames they watch no longer
    keep their keys alive."""
    for watch in watches:
        watch.detach()
