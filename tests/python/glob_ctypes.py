"""A foreign caller of the plain-name glob functions, through ctypes.

Usage: glob_ctypes.py LIBRARY
"""
import ctypes
import os
import sys
import tempfile

lib = ctypes.CDLL(sys.argv[1])
c_bool, c_int, c_char_p, c_void_p = ctypes.c_bool, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p
lib.NUVZubUttFileUtils_GlobInit.argtypes = [c_char_p, ctypes.POINTER(c_void_p), c_int, c_char_p]
lib.NUVZubUttFileUtils_GlobFront.argtypes = [c_void_p, ctypes.POINTER(c_char_p), c_int, c_char_p]
lib.NUVZubUttFileUtils_GlobNext.argtypes = [c_void_p, c_int, c_char_p]
lib.NUVZubUttFileUtils_GlobEmpty.argtypes = [c_void_p, ctypes.POINTER(c_bool), c_int, c_char_p]
lib.NUVZubUttFileUtils_GlobFree.argtypes = [c_void_p, c_int, c_char_p]
for name in ("Init", "Front", "Next", "Empty", "Free"):
    getattr(lib, "NUVZubUttFileUtils_Glob" + name).restype = c_bool

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def glob(pattern):
    size = 256
    buffer = ctypes.create_string_buffer(size)
    handle = c_void_p()
    if not lib.NUVZubUttFileUtils_GlobInit(pattern.encode(), ctypes.byref(handle), size, buffer):
        raise RuntimeError(buffer.value.decode())
    names = []
    empty = c_bool()
    while True:
        check(lib.NUVZubUttFileUtils_GlobEmpty(handle, ctypes.byref(empty), size, buffer), "empty")
        if empty.value:
            break
        front = c_char_p()
        check(lib.NUVZubUttFileUtils_GlobFront(handle, ctypes.byref(front), size, buffer), "front")
        names.append(os.fsdecode(front.value))  # names need not be UTF-8
        check(lib.NUVZubUttFileUtils_GlobNext(handle, size, buffer), "next")
    check(lib.NUVZubUttFileUtils_GlobFree(handle, size, buffer), "free returns true")
    return sorted(names)


with tempfile.TemporaryDirectory() as directory:
    for name in ("a.dat", "b.dat", "c.txt", ".h.dat", os.fsdecode(b"lat\xe9.dat")):
        open(os.path.join(directory, name), "w").close()
    found = glob(os.path.join(directory, "*.dat"))
    expected = ("a.dat", "b.dat", ".h.dat", os.fsdecode(b"lat\xe9.dat"))
    check(found == sorted(os.path.join(directory, n) for n in expected), "matches: %r" % found)
    check(glob(os.path.join(directory, "*.none")) == [], "no match is an empty range")

    # A missing directory: false and the exception's text.
    buffer = ctypes.create_string_buffer(512)
    handle = c_void_p()
    check(not lib.NUVZubUttFileUtils_GlobInit(os.path.join(directory, "missing", "*").encode(),
                                              ctypes.byref(handle), 512, buffer), "missing fails")
    check(b"FindFirstFile" in buffer.value, "missing text: %r" % buffer.value)

# A null handle: false with the assertion's text, cut to buffer size - 1.
buffer = ctypes.create_string_buffer(512)
check(not lib.NUVZubUttFileUtils_GlobNext(None, 512, buffer), "null handle fails")
check(b"nullptr != glob" in buffer.value, "null handle text: %r" % buffer.value)
buffer = ctypes.create_string_buffer(b"z" * 64, 64)
check(not lib.NUVZubUttFileUtils_GlobFree(None, 24, buffer), "null handle fails on free")
check(len(buffer.value) == 23, "cut to size - 1: %r" % buffer.value)
check(buffer.raw[24:] == b"z" * 40, "nothing written past the size")

if failures:
    print("FAILED:\n  " + "\n  ".join(failures))
    sys.exit(1)
print("glob from ctypes: ok")
