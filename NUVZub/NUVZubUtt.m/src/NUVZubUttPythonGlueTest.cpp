// Test entry for the binding layer: how a call across a foreign boundary turns
// a result into a text the caller owns and any exception into a message.
#include <NUVZub/NUVZubContainersC.h>

#include <NUVZub/NUVZubExcParser.h>
#include <NUVZub/NUVZubUttUtils.h>

#include <NUVBas/NUVBasException.h>
#include <NUVBas/NUVString.h>
#include <NUVBas/mem_Alloc.h>
#include <NUVZubPlatform/Export.h>
#include <NUVZubPlatform/Thread.h>

#include <cstring>
#include <exception>
#include <new>

namespace {

void CopyMessage(const char* text, char* message, int messageSize) {
    if (message == nullptr || messageSize < 1) return;
    NUVZubUttUtils::Copy(message, text, messageSize);
}

// The caught exception's message. Only a thread's forced unwind leaves; a
// failure to build the message does not.
void ExceptionMessage(char* message, int messageSize) {
    NUVZubPlatform::RethrowIfForcedUnwind();
    try {
        try {
            throw;
        } catch (const NUVBasException& e) {
            CopyMessage(e.UserReport(NUVBasStringMode(false)).CStr(), message, messageSize);
        } catch (const std::bad_alloc&) {
            CopyMessage("Memory allocation failed.", message, messageSize);
        } catch (const std::exception& e) {
            CopyMessage(e.what(), message, messageSize);
        } catch (...) {
            CopyMessage("Unrecognized exception.", message, messageSize);
        }
    } catch (...) {
        NUVZubPlatform::RethrowIfForcedUnwind();
        CopyMessage("Memory allocation failed.", message, messageSize);
    }
}

} // namespace

extern "C" NUVZUB_API bool NUVZubUttPythonGlueTest_CheckString(const char* text, char** result,
                                                               char* message, int messageSize) {
    try {
        const NUVString input(text);
        NUVString checked;
        if (input == NUVString("Bad string."))
            NUVZubExcBadStringArgument().Throw("NUVZub/NUVZubUtt.m/src/NUVZubUttPythonGlueTest",
                                               20);
        checked = input;
        if (result == nullptr) {
            CopyMessage("No place for the result.", message, messageSize);
            return false;
        }
        // Allocated inside the guarded region so that a failure becomes a
        // message rather than an exception escaping into the foreign caller.
        const std::size_t bytes = checked.ByteLength();
        char* copy = mem_newBuiltIn<char>(bytes + 1);
        std::memcpy(copy, checked.CastToCharPtr(), bytes);
        copy[bytes] = '\0';
        *result = copy;
        return true;
    } catch (...) {
        ExceptionMessage(message, messageSize);
    }
    return false;
}
