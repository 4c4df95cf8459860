"""libqor_padring through ctypes: where it is found, and its functions typed."""

import ctypes
import os

MAX_READ = 7
MESSAGE_SIZE = 512


class CSample(ctypes.Structure):
    _fields_ = [
        ("hold", ctypes.c_uint32),
        ("trigger", ctypes.c_uint32),
        ("release", ctypes.c_uint32),
        ("stick_x", ctypes.c_int16),
        ("stick_y", ctypes.c_int16),
    ]


class CCursor(ctypes.Structure):
    _fields_ = [("lap_tick", ctypes.c_int64), ("slot", ctypes.c_int32)]


class CError(ctypes.Structure):
    _fields_ = [("code", ctypes.c_int), ("message", ctypes.c_char * MESSAGE_SIZE)]


def _candidates():
    """Where to look, in order: QOR_PADRING_LIBRARY, where CMake installed
    the library beside this package, then the system's loader."""
    named = os.environ.get("QOR_PADRING_LIBRARY")
    if named:
        return [named]
    here = os.path.dirname(os.path.abspath(__file__))
    candidates = []
    try:
        from ._installed import LIBRARY_FROM_PACKAGE

        candidates.append(os.path.normpath(os.path.join(here, LIBRARY_FROM_PACKAGE)))
    except ImportError:
        pass
    return candidates + ["libqor_padring.so.1"]


def _load():
    problems = []
    for candidate in _candidates():
        try:
            return ctypes.CDLL(candidate)
        except OSError as error:
            problems.append(str(error))
    raise ImportError(
        "cannot load libqor_padring.so.1 (install it with cmake --install, or name it in "
        "QOR_PADRING_LIBRARY): " + "; ".join(problems)
    )


def _declare(library):
    handle = ctypes.c_void_p
    int32 = ctypes.c_int32
    code = ctypes.c_int
    error = ctypes.POINTER(CError)
    signatures = {
        "qor_padring_version": (ctypes.c_char_p, []),
        "qor_padring_consumer_open": (
            code,
            [ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(handle), error],
        ),
        "qor_padring_read": (
            code,
            [
                handle,
                ctypes.POINTER(CSample),
                int32,
                ctypes.POINTER(int32),
                ctypes.POINTER(CCursor),
                ctypes.POINTER(int32),
                ctypes.POINTER(ctypes.c_bool),
                error,
            ],
        ),
        "qor_padring_producer_alive": (code, [handle, ctypes.POINTER(ctypes.c_bool), error]),
        "qor_padring_consumer_close": (code, [handle]),
        "qor_padring_producer_open": (
            code,
            [ctypes.c_char_p, ctypes.c_uint, ctypes.POINTER(handle), error],
        ),
        "qor_padring_write": (code, [handle, ctypes.POINTER(CSample), int32, error]),
        "qor_padring_remove_name": (code, [handle, error]),
        "qor_padring_producer_close": (code, [handle]),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments
    return library


library = _declare(_load())
