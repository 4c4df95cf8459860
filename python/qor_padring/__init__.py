"""Pad rings in named shared memory from Python, over libqor_padring.

A Producer writes pad samples into a ring; any number of Consumers, in this
process or others, each read the samples they have not seen yet and learn
how many they missed. Every failure raises PadRingError with the library's
message and code.

    with Consumer("pad") as pad:
        samples, missed, exact = pad.read()   # oldest first
"""

import ctypes
import enum
import struct
from typing import Iterable, List, NamedTuple, Optional, Tuple

from ._library import MAX_READ, CCursor, CError, CSample, library

__all__ = ["Code", "Consumer", "PadRingError", "Producer", "Read", "Sample", "version"]


class Code(enum.IntEnum):
    """What failed, as libqor_padring's qor_padring_code says."""

    OK = 0
    INVALID_ARGUMENT = 1
    INVALID_NAME = 2
    INVALID_MODE = 3
    UNKNOWN_OWNER = 4
    NOT_FOUND = 5
    EXISTS = 6
    NOT_READY = 7
    NOT_A_FILE = 8
    WRITABLE_BY_OTHERS = 9
    UNTRUSTED_OWNER = 10
    NOT_OWNER = 11
    NOT_A_RING = 12
    WRONG_VERSION = 13
    WRONG_RING_SIZE = 14
    WRONG_RING_OFFSET = 15
    TOO_SMALL = 16
    WRONG_DEVICE_BLOCK = 17
    DAMAGED = 18
    PRODUCER_ALIVE = 19
    SYSTEM = 20
    RING_CHECK_FAILED = 21
    OUT_OF_MEMORY = 22


class PadRingError(Exception):
    """A failure of libqor_padring: its message, and its code in .code."""

    def __init__(self, code: int, message: str):
        super().__init__(message)
        try:
            self.code = Code(code)
        except ValueError:  # a code this package does not know yet
            self.code = code


class Sample(NamedTuple):
    """One pad sample: button bits held, pressed and released since the
    sample before (unsigned 32-bit each), and the stick (signed 16-bit)."""

    hold: int
    trigger: int
    release: int
    stick_x: int
    stick_y: int


class Read(NamedTuple):
    """What one read returned: the new samples, oldest first, and how many
    samples it passed over for good (exactly when missed_exact, else at
    least that many)."""

    samples: List[Sample]
    missed: int
    missed_exact: bool


_SAMPLE = struct.Struct("=IIIhh")
_LIMITS = (
    ("hold", 0, 0xFFFFFFFF),
    ("trigger", 0, 0xFFFFFFFF),
    ("release", 0, 0xFFFFFFFF),
    ("stick_x", -0x8000, 0x7FFF),
    ("stick_y", -0x8000, 0x7FFF),
)


def version() -> str:
    """The version of the libqor_padring in use."""
    return library.qor_padring_version().decode()


def _check(code: int, error: CError) -> None:
    if code != Code.OK:
        raise PadRingError(code, error.message.decode(errors="replace"))


def _ring_name(name: str) -> bytes:
    if not isinstance(name, str):
        raise TypeError("a ring name is a str, not " + type(name).__name__)
    return name.encode()


class _Handle:
    """A handle of the library's, closed by close(), on leaving a with block,
    or when the object is collected."""

    _handle = None

    def _close_handle(self, close_function) -> None:
        if self._handle:
            close_function(self._handle)
            self._handle = ctypes.c_void_p()

    def __enter__(self):
        return self

    def __exit__(self, *exception) -> None:
        self.close()

    def __del__(self) -> None:
        if self._handle:
            self.close()


class Consumer(_Handle):
    """Opens the ring name read-only. It is trusted only when no group or
    others may write it and it belongs to this process's user, to root, or to
    owner (a user name or number). PadRingError with Code.NOT_FOUND or
    Code.NOT_READY: no producer has made it yet."""

    def __init__(self, name: str, owner: Optional[str] = None):
        self._handle = ctypes.c_void_p()
        self._error = CError()
        encoded_owner = None if owner is None else str(owner).encode()
        _check(
            library.qor_padring_consumer_open(
                _ring_name(name), encoded_owner, ctypes.byref(self._handle), self._error
            ),
            self._error,
        )
        self._buffer = (CSample * MAX_READ)()
        self._cursor = CCursor(-1, -1)
        self._count = ctypes.c_int32()
        self._missed = ctypes.c_int32()
        self._exact = ctypes.c_bool()
        self._arguments = (
            self._buffer,
            MAX_READ,
            ctypes.byref(self._count),
            ctypes.byref(self._cursor),
            ctypes.byref(self._missed),
            ctypes.byref(self._exact),
            ctypes.byref(self._error),
        )

    def read(self) -> Read:
        """The samples written since the last read (at most 7), oldest first,
        with the count of those passed over; a new Consumer's first read
        counts none missed."""
        if not self._handle:
            raise PadRingError(Code.INVALID_ARGUMENT, "read: the consumer is closed")
        _check(library.qor_padring_read(self._handle, *self._arguments), self._error)
        count = self._count.value
        view = memoryview(self._buffer).cast("B")[: count * _SAMPLE.size]
        samples = [Sample._make(fields) for fields in _SAMPLE.iter_unpack(view)]
        samples.reverse()
        return Read(samples, self._missed.value, self._exact.value)

    @property
    def producer_alive(self) -> bool:
        """Whether a producer holds the ring now."""
        alive = ctypes.c_bool()
        _check(library.qor_padring_producer_alive(self._handle, ctypes.byref(alive), self._error),
               self._error)
        return alive.value

    @property
    def cursor(self) -> Tuple[int, int]:
        """(lap tick, slot) of the newest sample read; (-1, -1) before the
        first. A consumer that opens the ring again can go on from it."""
        return (self._cursor.lap_tick, self._cursor.slot)

    @cursor.setter
    def cursor(self, cursor: Tuple[int, int]) -> None:
        self._cursor.lap_tick, self._cursor.slot = cursor

    def close(self) -> None:
        self._close_handle(library.qor_padring_consumer_close)


class Producer(_Handle):
    """Makes the ring name with the permission bits mode (0o600, 0o640,
    0o604 or 0o644: others may read it, never write it), or takes over the
    ring of a producer that is gone. PadRingError with Code.PRODUCER_ALIVE
    while another producer holds it."""

    def __init__(self, name: str, mode: int = 0o600):
        self._handle = ctypes.c_void_p()
        self._error = CError()
        _check(
            library.qor_padring_producer_open(
                _ring_name(name), mode, ctypes.byref(self._handle), self._error
            ),
            self._error,
        )

    def write(self, samples: Iterable) -> None:
        """Writes samples (Samples, or tuples of the same five numbers), oldest
        first. ValueError before anything is written when a field does not fit
        its width."""
        if not self._handle:
            raise PadRingError(Code.INVALID_ARGUMENT, "write: the producer is closed")
        fields = [tuple(sample) for sample in samples]
        if not fields:
            return
        for index, sample in enumerate(fields):
            if len(sample) != len(_LIMITS):
                raise ValueError(f"sample {index} has {len(sample)} fields, not {len(_LIMITS)}")
            for value, (field, low, high) in zip(sample, _LIMITS):
                if not isinstance(value, int) or not low <= value <= high:
                    raise ValueError(f"sample {index}: {field} {value!r} is outside {low}..{high}")
        buffer = (CSample * len(fields))(*fields)
        _check(library.qor_padring_write(self._handle, buffer, len(fields), self._error),
               self._error)

    def remove_name(self) -> None:
        """Removes the ring's name, for a stop that leaves nothing behind."""
        _check(library.qor_padring_remove_name(self._handle, self._error), self._error)

    def close(self) -> None:
        """Records that no producer runs; the ring stays for the next one
        unless its name was removed."""
        self._close_handle(library.qor_padring_producer_close)
