// The check that every string entering the library passes first.
#pragma once

#include <NUVBas/NUVString.h>
#include <NUVZubPlatform/Export.h>

class NUVZUB_API NUVZubBadNUVString {
public:
    /// Raises NUVZubExcBadStringArgument for a string built from invalid input.
    static void Check(const NUVString& text);
};
