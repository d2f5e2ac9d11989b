#include <NUVZubBadNUVString.h>

#include <NUVZub/NUVZubExcParser.h>

void NUVZubBadNUVString::Check(const NUVString& text) {
    if (text.IsBAD())
        NUVZubExcBadStringArgument().Throw("NUVZub/PrivateInterfaces/NUVZubBadNUVString", 16);
}
