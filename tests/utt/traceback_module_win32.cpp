// A module of the traceback tests, built twice: with DWARF, and without it as
// the system's own modules are on Windows.
extern "C" __declspec(dllexport) __attribute__((noinline)) int ModuleCall(int (*function)()) {
    volatile int result = function(); // no tail call: this frame stays on the stack
    return result;
}
