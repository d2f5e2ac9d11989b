"""A foreign caller under a memory limit: the plain-name resource-monitor
functions return when a label cannot be copied, where an exception escaping
into ctypes would end the interpreter. Usage: resource_monitor_ctypes.py LIBRARY"""

import subprocess
import sys

# Run in an interpreter of its own: the address-space limit stays there.
CHILD = r"""
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

if len(sys.argv) != 2:
    sys.exit(__doc__)
child = subprocess.run([sys.executable, "-c", CHILD, sys.argv[1]], capture_output=True,
                       text=True, env={"ZUB_RESOURCE_MONITOR": "1"})
expected = "False Memory allocation failed.\n"
if child.returncode != 0 or child.stdout != expected:
    print("FAILED: status %d, output %r, errors %r" % (child.returncode, child.stdout,
                                                       child.stderr[-2000:]))
    sys.exit(1)
print("resource monitor from ctypes under a memory limit: ok")
