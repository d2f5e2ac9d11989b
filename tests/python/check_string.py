"""A foreign caller of the binding test entry: loads the built library with
ctypes, calls NUVZubUttPythonGlueTest_CheckString and releases its result
through the library's own release function. Usage: check_string.py LIBRARY"""

import ctypes
import sys
import unittest

LIBRARY = None
BAD_STRING_MESSAGE = "String passed into ZUB is BAD. set/setenv _NUV_FAIL_ON_BAD and rerun."


def load(path):
    lib = ctypes.CDLL(path)
    check = lib.NUVZubUttPythonGlueTest_CheckString
    check.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p),
                      ctypes.c_char_p, ctypes.c_int]
    check.restype = ctypes.c_bool
    free = lib.mem_FreeText
    free.argtypes = [ctypes.c_void_p]
    free.restype = None
    return lib


class CheckString(unittest.TestCase):
    def call(self, text, size=256):
        result = ctypes.c_void_p(None)
        message = ctypes.create_string_buffer(b"\xaa" * (size + 8), size + 8)
        ok = LIBRARY.NUVZubUttPythonGlueTest_CheckString(text, ctypes.byref(result), message, size)
        return ok, result, message

    def take(self, result):
        """The result's text, released through the library."""
        try:
            return ctypes.string_at(result.value)
        finally:
            LIBRARY.mem_FreeText(result)

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

    def test_bad_string_becomes_a_message(self):
        ok, result, message = self.call(b"Bad string.")
        self.assertFalse(ok)
        self.assertIsNone(result.value, "result written on failure")
        self.assertEqual(message.value.decode("utf-8"), BAD_STRING_MESSAGE)

    def test_message_is_cut_to_the_buffer(self):
        ok, result, message = self.call(b"Bad string.", size=11)
        self.assertFalse(ok)
        self.assertIsNone(result.value)
        self.assertEqual(message.raw[:11], BAD_STRING_MESSAGE[:10].encode() + b"\0")
        self.assertEqual(message.raw[11], 0xAA, "wrote past the buffer")

    def test_results_are_fresh_copies(self):
        ok1, first, _ = self.call(b"same")
        ok2, second, _ = self.call(b"same")
        self.assertTrue(ok1 and ok2)
        self.assertNotEqual(first.value, second.value)
        self.assertEqual(self.take(first), self.take(second))


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    LIBRARY = load(sys.argv.pop(1))
    unittest.main()
