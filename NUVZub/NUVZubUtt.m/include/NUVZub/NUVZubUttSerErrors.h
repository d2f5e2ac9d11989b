// Values captured at the moment of an XML or runtime failure, carried by the
// XML exceptions and shown through their messages.
#pragma once

#include <NUVZubPlatform/Export.h>

/// The XML parser's error code.
class NUVZUB_API NUVZubUttSerParserError {
public:
    explicit NUVZubUttSerParserError(void* parser);
    /// The parser library's text for the code.
    const char* AsString() const;
    int GetCode() const { return m_code; }

private:
    int m_code;
};

/// The XML parser's position, as "line L, column: C".
class NUVZUB_API NUVZubUttSerParserPlace {
public:
    explicit NUVZubUttSerParserPlace(void* parser);
    const char* AsString() const { return m_text; }

private:
    char m_text[64];
};

/// The runtime's errno at construction.
class NUVZUB_API NUVZubUttSerSystemError {
public:
    NUVZubUttSerSystemError();
    const char* AsString() const;
    int GetCode() const { return m_code; }

private:
    int m_code;
};
