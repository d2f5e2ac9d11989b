"""Foreign callers: Python loads the built library with ctypes and calls its plain-name
functions, which report failures as false and a text in the caller's buffer.
Usage: ctypes_callers.py LIBRARY [TestClass]"""

import ctypes
import locale
import os
import sys
import tempfile
import unittest

LIB = None
BAD_STRING_MESSAGE = b"String passed into ZUB is BAD. set/setenv _NUV_FAIL_ON_BAD and rerun."
c_void_p = ctypes.c_void_p


def load(path):
    lib = ctypes.CDLL(path)
    lib.NUVZubUttPythonGlueTest_CheckString.argtypes = [ctypes.c_char_p, ctypes.POINTER(c_void_p),
                                                        ctypes.c_char_p, ctypes.c_int]
    lib.NUVZubUttFileUtils_GlobInit.argtypes = [ctypes.c_char_p, ctypes.POINTER(c_void_p),
                                                ctypes.c_int, ctypes.c_char_p]
    lib.NUVZubUttPythonGlueTest_CheckString.restype = ctypes.c_bool
    for name in ("GlobInit", "GlobEmpty", "GlobFront", "GlobNext", "GlobFree"):
        getattr(lib, "NUVZubUttFileUtils_" + name).restype = ctypes.c_bool
    lib.mem_FreeText.argtypes = [c_void_p]
    lib.mem_FreeText.restype = None
    return lib


def buffer_of(size):
    """A buffer of `size` bytes and 8 more to see writes past it."""
    return ctypes.create_string_buffer(b"\xaa" * (size + 8), size + 8)


class CheckString(unittest.TestCase):
    def call(self, text, size=256):
        result, message = c_void_p(None), buffer_of(size)
        ok = LIB.NUVZubUttPythonGlueTest_CheckString(text, ctypes.byref(result), message, size)
        return ok, result, message

    def test_copies_any_other_text_and_refuses_a_bad_one_in_the_buffer(self):
        copies = []
        for text in ["plain", "", "Bad string", "Bad string..", "bad string.",
                     "réseau/fïchier €", "x" * 5000, "plain"]:
            with self.subTest(text=text[:20]):
                ok, result, message = self.call(text.encode())
                self.assertTrue(ok)
                self.assertEqual(ctypes.string_at(result.value), text.encode())
                self.assertEqual(message.raw[0], 0xAA, "message written on success")
                copies.append(result.value)
        self.assertEqual(len(set(copies)), len(copies), "a result that is no fresh copy")
        for copy in copies:
            LIB.mem_FreeText(copy)
        for size, expected in ((256, BAD_STRING_MESSAGE), (11, BAD_STRING_MESSAGE[:10])):
            ok, result, message = self.call(b"Bad string.", size)
            self.assertFalse(ok)
            self.assertIsNone(result.value, "result written on failure")
            self.assertEqual(message.raw[:len(expected) + 1], expected + b"\0")
            self.assertEqual(message.raw[size], 0xAA, "wrote past the buffer")


class Glob(unittest.TestCase):
    def glob(self, pattern, size=256):
        buffer = ctypes.create_string_buffer(size)
        handle, empty, front = c_void_p(), ctypes.c_bool(), ctypes.c_char_p()
        self.assertTrue(LIB.NUVZubUttFileUtils_GlobInit(pattern.encode(), ctypes.byref(handle),
                                                        size, buffer), buffer.value)
        names = []
        while True:  # the flag and the name come back through the caller's pointers
            self.assertTrue(LIB.NUVZubUttFileUtils_GlobEmpty(handle, ctypes.byref(empty), size,
                                                             buffer))
            if empty.value:
                break
            self.assertTrue(LIB.NUVZubUttFileUtils_GlobFront(handle, ctypes.byref(front), size,
                                                             buffer))
            names.append(os.fsdecode(front.value))  # names need not be UTF-8
            self.assertTrue(LIB.NUVZubUttFileUtils_GlobNext(handle, size, buffer))
        self.assertTrue(LIB.NUVZubUttFileUtils_GlobFree(handle, size, buffer))
        return sorted(names)

    def test_matches_names_and_refuses_a_missing_directory(self):
        with tempfile.TemporaryDirectory() as directory:
            latin1 = os.fsdecode(b"lat\xe9.dat")
            for name in ("a.dat", "c.txt", ".h.dat", latin1):
                open(os.path.join(directory, name), "w").close()
            expected = sorted(os.path.join(directory, n) for n in ("a.dat", ".h.dat", latin1))
            self.assertEqual(self.glob(os.path.join(directory, "*.dat")), expected)
            buffer = ctypes.create_string_buffer(512)
            missing = os.path.join(directory, "missing", "*").encode()
            self.assertFalse(LIB.NUVZubUttFileUtils_GlobInit(missing, ctypes.byref(c_void_p()),
                                                             512, buffer))
            self.assertIn(b"FindFirstFile", buffer.value)


class ErrorTextUtf8(unittest.TestCase):
    """Error texts cut to any buffer keep whole characters: the system's message for a
    missing directory in a language of 2-byte (Russian) or 3-byte (Japanese) characters."""

    def glob_error(self, pattern, size):
        """GlobInit's error text in a buffer of `size` bytes, and the bytes after it."""
        buffer = buffer_of(size)
        self.assertFalse(LIB.NUVZubUttFileUtils_GlobInit(pattern, ctypes.byref(c_void_p()), size,
                                                         buffer), "a missing directory fails")
        return buffer.raw[:size].split(b"\0")[0], buffer.raw[size:]

    def test_every_buffer_size_ends_on_a_whole_character(self):
        self.addCleanup(locale.setlocale, locale.LC_ALL, "C")
        self.addCleanup(os.environ.pop, "LANGUAGE", None)
        with tempfile.TemporaryDirectory() as directory:
            pattern = os.path.join(directory, "missing", "*").encode()
            for language, width in (("ru", 2), ("ja", 3)):
                with self.subTest(language=language):
                    os.environ["LANGUAGE"] = language
                    # A change of locale makes the C library look its messages up again.
                    locale.setlocale(locale.LC_ALL, "C")
                    try:
                        locale.setlocale(locale.LC_ALL, "C.UTF-8")
                    except locale.Error:
                        self.skipTest("no C.UTF-8 locale")
                    full = self.glob_error(pattern, 4096)[0].decode("utf-8")
                    if full.isascii():
                        self.skipTest("the C library has no %s messages installed" % language)
                    self.assertTrue(any(len(ch.encode()) == width for ch in full), full)
                    for size in range(1, len(full.encode()) + 2):
                        text, after = self.glob_error(pattern, size)
                        # The most whole characters that fit with the terminator.
                        expected = full.encode()[:size - 1].decode("utf-8", "ignore")
                        self.assertEqual(text.decode("utf-8"), expected, "size %d" % size)
                        self.assertEqual(after, b"\xaa" * 8, "wrote past the buffer")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    LIB = load(sys.argv.pop(1))
    unittest.main()
