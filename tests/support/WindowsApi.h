// windows.h for the test helpers, without the macros that would rename the
// tests' own calls (min and max, GetMessage, RemoveDirectory, ...).
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef GetMessage
#undef RemoveDirectory
#undef CreateFile
#undef DeleteFile
#undef CopyFile
#undef MoveFile
