// XML-parser library: Expat's queries under the family's prefix.
#pragma once

#include <NUVBas/NUVBasExport.h>

#include <expat.h>

extern "C" {
NUVBAS_XML_API XML_Parser xmp_XML_ParserCreate(const char* encoding);
NUVBAS_XML_API void xmp_XML_ParserFree(XML_Parser parser);
/// Parses one piece; returns 1 on success, 0 on error (as Expat's XML_Parse).
NUVBAS_XML_API int xmp_XML_Parse(XML_Parser parser, const char* text, int length, int isFinal);
NUVBAS_XML_API int xmp_XML_GetErrorCode(XML_Parser parser);
NUVBAS_XML_API const char* xmp_XML_ErrorString(int code);
NUVBAS_XML_API int xmp_XML_GetCurrentLineNumber(XML_Parser parser);
NUVBAS_XML_API int xmp_XML_GetCurrentColumnNumber(XML_Parser parser);
}

NUVBAS_XML_API void NUVBasXmlParser_initialize(int& count);
NUVBAS_XML_API void NUVBasXmlParser_finalize(int& count);
