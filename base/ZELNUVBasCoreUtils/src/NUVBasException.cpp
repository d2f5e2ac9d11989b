#include <NUVBas/NUVBasException.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <typeinfo>

#if defined(_WIN32)
#include "NUVBasCoreUtilsWin32.h"
#endif

namespace {
thread_local bool t_raisingThroughThrow = false;

/// Marks the raise, and restores the previous state when it unwinds (a Throw may
/// run inside the unwinding of another).
struct ThrowScope {
    ThrowScope() : previous(t_raisingThroughThrow) { t_raisingThroughThrow = true; }
    ~ThrowScope() { t_raisingThroughThrow = previous; }
    bool previous;
};
} // namespace

NUVBasException::~NUVBasException() = default;

NUVBasException* NUVBasException::Clone() const { return nullptr; }

bool NUVBasException::IsRaisingThroughThrow() { return t_raisingThroughThrow; }

void NUVBasException::Throw(const char* file, int line) {
    m_sourceFile = file;
    m_sourceLine = line;
    ThrowScope scope;
    Propagate();
    // Propagate never returns; a class that broke that rule must not fall through.
    std::abort();
}

atr_String NUVBasException::UserReport(NUVBasStringMode mode) const { return AsString(mode); }

atr_String NUVBasException::DeveloperReport(NUVBasStringMode mode) const {
    int status = 0;
    const char* mangled = typeid(*this).name();
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    atr_String message = AsString(mode);
    atr_String report = m_sourceFile
                            ? atr("%s (code %d) at %s:%d: %s", demangled ? demangled : mangled,
                                  GetCode(), m_sourceFile, m_sourceLine, message.CStr(), mode)
                            : atr("%s (code %d): %s", demangled ? demangled : mangled, GetCode(),
                                  message.CStr(), mode);
    std::free(demangled);
    return report;
}

NUVBasMessageException::NUVBasMessageException(const char* message) {
    std::snprintf(m_message, sizeof m_message, "%s", message ? message : "");
}

atr_String NUVBasMessageException::AsString(NUVBasStringMode) const {
    return atr_String(m_message);
}

#define NUVBAS_MESSAGE_EXCEPTION_BODY(Name)                                                        \
    void Name::Propagate() const { throw Name(*this); }                                            \
    NUVBasException* Name::Clone() const { return new Name(*this); }

NUVBAS_MESSAGE_EXCEPTION_BODY(NUVBasAssertException)
NUVBAS_MESSAGE_EXCEPTION_BODY(NUVBasToUTF8Exception)
NUVBAS_MESSAGE_EXCEPTION_BODY(NUVBasOsStringConversion)

#if defined(_WIN32)
NUVBasSystemError::NUVBasSystemError(int code) : m_code(code) {
    // Codes are GetLastError values; the text comes from the system's message table.
    NUVBasWin32::SystemMessage(static_cast<unsigned long>(code), m_text, sizeof m_text);
}
#else
NUVBasSystemError::NUVBasSystemError(int code) : m_code(code) {
    // The GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = strerror_r(code, m_text, sizeof m_text);
    if (text != m_text) std::snprintf(m_text, sizeof m_text, "%s", text);
}
#endif
