// The base of every exception of the family, and the core-utilities library's
// own exceptions and system-error value.
#pragma once

#include <NUVBas/NUVBasExport.h>
#include <NUVBas/atr.h>
#include <NUVBas/mem_Alloc.h>

class NUVBAS_CORE_API NUVBasException : public mem_AllocationOperators {
public:
    NUVBasException(const NUVBasException&) = default;
    NUVBasException& operator=(const NUVBasException&) = default;
    virtual ~NUVBasException();

    /// Class name, code, source position (when raised through Throw) and message.
    virtual atr_String DeveloperReport(NUVBasStringMode mode) const;
    /// The message.
    virtual atr_String UserReport(NUVBasStringMode mode) const;
    virtual atr_String AsString(NUVBasStringMode mode) const = 0;
    /// Reports where the class does so, then throws a copy of the most derived object.
    virtual void Propagate() const = 0;
    virtual NUVBasException* Clone() const;
    virtual int GetCode() const = 0;

    /// Records the source position and raises the exception as its own class,
    /// without a throw report: the raiser reports what it needs to itself.
    [[noreturn]] void Throw(const char* file, int line);

    const char* GetSourceFile() const { return m_sourceFile; }
    int GetSourceLine() const { return m_sourceLine; }

    /// True while Throw raises on this thread; Propagate then skips its report.
    static bool IsRaisingThroughThrow();

protected:
    NUVBasException() = default;

private:
    const char* m_sourceFile = nullptr;
    int m_sourceLine = 0;
};

/// Shared shape of the core-utilities library's own exceptions: a kept message.
class NUVBAS_CORE_API NUVBasMessageException : public NUVBasException {
public:
    explicit NUVBasMessageException(const char* message);
    atr_String AsString(NUVBasStringMode mode) const override;
    int GetCode() const override { return 0; }
    const char* GetMessage() const { return m_message; }

private:
    char m_message[1024];
};

#define NUVBAS_MESSAGE_EXCEPTION(Name)                                                             \
    class NUVBAS_CORE_API Name : public NUVBasMessageException {                                   \
    public:                                                                                        \
        explicit Name(const char* message) : NUVBasMessageException(message) {}                    \
        void Propagate() const override;                                                           \
        NUVBasException* Clone() const override;                                                   \
    }

/// An internal logic error detected by an assertion; keeps the condition's text.
NUVBAS_MESSAGE_EXCEPTION(NUVBasAssertException);
/// A text that could not be converted to UTF-8.
NUVBAS_MESSAGE_EXCEPTION(NUVBasToUTF8Exception);
/// A string that could not be converted to the platform's form.
NUVBAS_MESSAGE_EXCEPTION(NUVBasOsStringConversion);

#undef NUVBAS_MESSAGE_EXCEPTION

/// An operating-system error code with the platform's text for it.
class NUVBAS_CORE_API NUVBasSystemError {
public:
    explicit NUVBasSystemError(int code);
    NUVBasSystemError(const NUVBasSystemError&) = default;
    NUVBasSystemError& operator=(const NUVBasSystemError&) = default;
    ~NUVBasSystemError() = default;

    int GetCode() const { return m_code; }
    /// The system's text for the code; valid while this object lives.
    const char* AsString() const { return m_text; }

private:
    int m_code;
    char m_text[128];
};

NUVBAS_CORE_API void NUVBasCoreUtils_initialize(int& count);
NUVBAS_CORE_API void NUVBasCoreUtils_finalize(int& count);
