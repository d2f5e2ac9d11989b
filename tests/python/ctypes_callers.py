"""Foreign callers: Python loads the built library with ctypes and calls its plain-name
functions, which report failures as false and a text in the caller's buffer.
Usage: ctypes_callers.py LIBRARY [TestClass]"""

import ctypes
import locale
import os
import subprocess
import sys
import tempfile
import unittest

LIB = None
BAD_STRING_MESSAGE = "String passed into ZUB is BAD. set/setenv _NUV_FAIL_ON_BAD and rerun."
c_bool, c_int, c_char_p, c_void_p = ctypes.c_bool, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p
SIGNATURES = {
    "NUVZubUttPythonGlueTest_CheckString": [c_char_p, ctypes.POINTER(c_void_p), c_char_p, c_int],
    "NUVZubUttFileUtils_GlobInit": [c_char_p, ctypes.POINTER(c_void_p), c_int, c_char_p],
    "NUVZubUttFileUtils_GlobFront": [c_void_p, ctypes.POINTER(c_char_p), c_int, c_char_p],
    "NUVZubUttFileUtils_GlobNext": [c_void_p, c_int, c_char_p],
    "NUVZubUttFileUtils_GlobEmpty": [c_void_p, ctypes.POINTER(c_bool), c_int, c_char_p],
    "NUVZubUttFileUtils_GlobFree": [c_void_p, c_int, c_char_p],
}


def load(path):
    lib = ctypes.CDLL(path)
    for name, argtypes in SIGNATURES.items():
        getattr(lib, name).argtypes = argtypes
        getattr(lib, name).restype = c_bool
    lib.mem_FreeText.argtypes = [c_void_p]
    lib.mem_FreeText.restype = None
    return lib


def buffer_of(size, fill=b"\xaa"):
    """A buffer of `size` bytes and 8 more to see writes past it."""
    return ctypes.create_string_buffer(fill * (size + 8), size + 8)


class CheckString(unittest.TestCase):
    def call(self, text, size=256):
        result = c_void_p(None)
        message = buffer_of(size)
        ok = LIB.NUVZubUttPythonGlueTest_CheckString(text, ctypes.byref(result), message, size)
        return ok, result, message

    def take(self, result):
        """The result's text, released through the library."""
        try:
            return ctypes.string_at(result.value)
        finally:
            LIB.mem_FreeText(result)

    def test_copies_any_other_text(self):
        for text in ["plain", "", "Bad string", "Bad string..", "bad string.",
                     "réseau/fïchier €", "x" * 5000]:
            with self.subTest(text=text[:20]):
                data = text.encode("utf-8")
                ok, result, message = self.call(data)
                self.assertTrue(ok)
                self.assertIsNotNone(result.value)
                self.assertEqual(self.take(result), data)
                self.assertEqual(message.raw[0], 0xAA, "message written on success")

    def test_bad_string_becomes_a_message_cut_to_the_buffer(self):
        for size, expected in ((256, BAD_STRING_MESSAGE), (11, BAD_STRING_MESSAGE[:10])):
            ok, result, message = self.call(b"Bad string.", size)
            self.assertFalse(ok)
            self.assertIsNone(result.value, "result written on failure")
            self.assertEqual(message.raw[:len(expected) + 1], expected.encode() + b"\0")
            self.assertEqual(message.raw[size], 0xAA, "wrote past the buffer")

    def test_results_are_fresh_copies(self):
        ok1, first, _ = self.call(b"same")
        ok2, second, _ = self.call(b"same")
        self.assertTrue(ok1 and ok2)
        self.assertNotEqual(first.value, second.value)
        self.assertEqual(self.take(first), self.take(second))


class Glob(unittest.TestCase):
    def glob(self, pattern, size=256):
        buffer = ctypes.create_string_buffer(size)
        handle, empty, front = c_void_p(), c_bool(), c_char_p()
        self.assertTrue(LIB.NUVZubUttFileUtils_GlobInit(pattern.encode(), ctypes.byref(handle),
                                                        size, buffer), buffer.value)
        names = []
        while True:
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
            for name in ("a.dat", "b.dat", "c.txt", ".h.dat", latin1):
                open(os.path.join(directory, name), "w").close()
            expected = ("a.dat", "b.dat", ".h.dat", latin1)
            self.assertEqual(self.glob(os.path.join(directory, "*.dat")),
                             sorted(os.path.join(directory, n) for n in expected))
            self.assertEqual(self.glob(os.path.join(directory, "*.none")), [])
            buffer = ctypes.create_string_buffer(512)
            missing = os.path.join(directory, "missing", "*").encode()
            self.assertFalse(LIB.NUVZubUttFileUtils_GlobInit(missing, ctypes.byref(c_void_p()),
                                                             512, buffer))
            self.assertIn(b"FindFirstFile", buffer.value)

    def test_null_handle_fails_with_the_assertions_text_cut_to_the_buffer(self):
        buffer = ctypes.create_string_buffer(512)
        self.assertFalse(LIB.NUVZubUttFileUtils_GlobNext(None, 512, buffer))
        self.assertIn(b"nullptr != glob", buffer.value)
        buffer = buffer_of(24, b"z")
        self.assertFalse(LIB.NUVZubUttFileUtils_GlobFree(None, 24, buffer))
        self.assertEqual(len(buffer.value), 23)
        self.assertEqual(buffer.raw[24:], b"z" * 8, "wrote past the buffer")


def longest_prefix(text, limit):
    """The most whole characters of `text` that fit in `limit` bytes of UTF-8."""
    out = ""
    for ch in text:
        if len((out + ch).encode("utf-8")) > limit:
            break
        out += ch
    return out


class ErrorTextUtf8(unittest.TestCase):
    """Error texts cut to any buffer keep whole characters: the system's message for a
    missing directory in a language of 2-byte (Russian) or 3-byte (Japanese) characters."""

    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.pattern = os.path.join(self.directory.name, "missing", "*").encode()

    def tearDown(self):
        self.directory.cleanup()
        os.environ.pop("LANGUAGE", None)
        locale.setlocale(locale.LC_ALL, "C")

    def glob_error(self, size):
        """GlobInit's error text in a buffer of `size` bytes, and the bytes after it."""
        buffer = buffer_of(size)
        ok = LIB.NUVZubUttFileUtils_GlobInit(self.pattern, ctypes.byref(c_void_p()), size, buffer)
        self.assertFalse(ok, "a missing directory fails")
        return buffer.raw[:size].split(b"\0")[0], buffer.raw[size:]

    def translated(self, language):
        """Switches the system's messages to `language`; skips when it has none."""
        os.environ["LANGUAGE"] = language
        # A change of locale makes the C library look its messages up again.
        locale.setlocale(locale.LC_ALL, "C")
        try:
            locale.setlocale(locale.LC_ALL, "C.UTF-8")
        except locale.Error:
            self.skipTest("no C.UTF-8 locale")
        full, _ = self.glob_error(4096)
        if full.isascii():
            self.skipTest("the C library has no %s messages installed" % language)
        return full.decode("utf-8")

    def test_every_buffer_size_ends_on_a_whole_character(self):
        for language, width in (("ru", 2), ("ja", 3)):
            with self.subTest(language=language):
                full = self.translated(language)
                self.assertTrue(any(len(ch.encode()) == width for ch in full), full)
                for size in range(1, len(full.encode()) + 2):
                    text, after = self.glob_error(size)
                    self.assertEqual(text.decode("utf-8"), longest_prefix(full, size - 1),
                                     "size %d" % size)
                    self.assertEqual(after, b"\xaa" * 8, "wrote past the buffer")


# Run in an interpreter of its own: the address-space limit stays there.
MEMORY_LIMIT_CHILD = r"""
import ctypes, resource, sys
lib = ctypes.CDLL(sys.argv[1])
lib.NUVZubUttPythonGlueTest_CheckString.restype = ctypes.c_bool
label = b"L" * (256 << 20)
with open("/proc/self/status") as status:
    mapped = next(int(line.split()[1]) << 10 for line in status if line.startswith("VmSize:"))
# Room to go on, but not for a copy of the label.
resource.setrlimit(resource.RLIMIT_AS, (mapped + (64 << 20), resource.RLIM_INFINITY))
lib.NUVZubUttResourceMonitorInitialize(label, 0)
lib.NUVZubUttResourceMonitorMark(label)
lib.NUVZubUttResourceMonitorZubMark(label)
lib.NUVZubUttResourceMonitorIniTimer(1, label)
lib.NUVZubUttResourceMonitorStartTimer(1, None)
lib.NUVZubUttResourceMonitorStopTimer(1)
message = ctypes.create_string_buffer(64)
result = ctypes.c_void_p()
print(lib.NUVZubUttPythonGlueTest_CheckString(label, ctypes.byref(result), message, 64),
      message.value.decode())
"""


class ResourceMonitor(unittest.TestCase):
    def test_a_label_that_cannot_be_copied_is_dropped_not_thrown_into_ctypes(self):
        child = subprocess.run([sys.executable, "-c", MEMORY_LIMIT_CHILD, LIB._name],
                               capture_output=True, text=True, env={"ZUB_RESOURCE_MONITOR": "1"})
        self.assertEqual((child.returncode, child.stdout),
                         (0, "False Memory allocation failed.\n"), child.stderr[-2000:])


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    LIB = load(sys.argv.pop(1))
    unittest.main()
