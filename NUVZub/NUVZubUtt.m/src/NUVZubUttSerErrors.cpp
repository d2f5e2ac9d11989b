#include <NUVBas/xmp_XML.h>
#include <NUVZub/NUVZubUttSerErrors.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

NUVZubUttSerParserError::NUVZubUttSerParserError(void* parser)
    : m_code(xmp_XML_GetErrorCode(static_cast<XML_Parser>(parser))) {}

const char* NUVZubUttSerParserError::AsString() const { return xmp_XML_ErrorString(m_code); }

NUVZubUttSerParserPlace::NUVZubUttSerParserPlace(void* parser) {
    auto* p = static_cast<XML_Parser>(parser);
    const int column = xmp_XML_GetCurrentColumnNumber(p);
    const int line = xmp_XML_GetCurrentLineNumber(p);
    std::snprintf(m_text, sizeof m_text, "line %d, column: %d", line, column);
}

NUVZubUttSerSystemError::NUVZubUttSerSystemError() : m_code(errno) {}

const char* NUVZubUttSerSystemError::AsString() const { return std::strerror(m_code); }
