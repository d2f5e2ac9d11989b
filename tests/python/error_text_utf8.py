"""A foreign caller decodes the library's error texts as UTF-8, whatever the
size of its buffer: a text cut to the buffer keeps whole characters only.
The texts carry the system's message for a missing directory, translated by
the C library into a language written in 2-byte (Russian) or 3-byte
(Japanese) characters. Usage: error_text_utf8.py LIBRARY"""

import ctypes
import locale
import os
import sys
import tempfile
import unittest

LIBRARY = None


def load(path):
    lib = ctypes.CDLL(path)
    init = lib.NUVZubUttFileUtils_GlobInit
    init.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p), ctypes.c_int,
                     ctypes.c_char_p]
    init.restype = ctypes.c_bool
    return lib


def longest_prefix(text, limit):
    """The most whole characters of `text` that fit in `limit` bytes of UTF-8."""
    out = ""
    for ch in text:
        if len((out + ch).encode("utf-8")) > limit:
            break
        out += ch
    return out


class ErrorTextUtf8(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.pattern = os.path.join(self.directory.name, "missing", "*").encode()

    def tearDown(self):
        self.directory.cleanup()
        os.environ.pop("LANGUAGE", None)
        locale.setlocale(locale.LC_ALL, "C")

    def glob_error(self, size):
        """GlobInit's error text in a buffer of `size` bytes, and the bytes after it."""
        buffer = ctypes.create_string_buffer(b"\xaa" * (size + 8), size + 8)
        handle = ctypes.c_void_p()
        ok = LIBRARY.NUVZubUttFileUtils_GlobInit(self.pattern, ctypes.byref(handle), size, buffer)
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


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    LIBRARY = load(sys.argv.pop(1))
    unittest.main()
