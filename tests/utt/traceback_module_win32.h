// The modules of the traceback tests: utt_traceback_plain_module.dll, built
// without DWARF and linked, and utt_traceback_dwarf_module.dll, loaded by name.
#pragma once

/// Calls `function` from a frame of the module and returns its result.
extern "C" __declspec(dllimport) int ModuleCall(int (*function)());
