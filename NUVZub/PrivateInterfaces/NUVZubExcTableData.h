// The generated rows behind NUVZubExcTable, sorted by code.
#pragma once

#include <NUVZub/NUVZubExcTable.h>

extern const NUVZubExcFamilyInfo g_NUVZubExcFamilies[];
extern const int g_NUVZubExcFamilyCount;
extern const NUVZubExcClassInfo g_NUVZubExcClasses[];
extern const int g_NUVZubExcClassCount;
