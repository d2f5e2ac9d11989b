#include <NUVBas/mem_Alloc.h>
#include <NUVBas/xmp_XML.h>

XML_Parser xmp_XML_ParserCreate(const char* encoding) { return XML_ParserCreate(encoding); }
void xmp_XML_ParserFree(XML_Parser parser) { XML_ParserFree(parser); }
int xmp_XML_Parse(XML_Parser parser, const char* text, int length, int isFinal) {
    return XML_Parse(parser, text, length, isFinal) == XML_STATUS_OK ? 1 : 0;
}
int xmp_XML_GetErrorCode(XML_Parser parser) { return static_cast<int>(XML_GetErrorCode(parser)); }
const char* xmp_XML_ErrorString(int code) {
    const char* text = XML_ErrorString(static_cast<XML_Error>(code));
    return text ? text : "";
}
int xmp_XML_GetCurrentLineNumber(XML_Parser parser) {
    return static_cast<int>(XML_GetCurrentLineNumber(parser));
}
int xmp_XML_GetCurrentColumnNumber(XML_Parser parser) {
    return static_cast<int>(XML_GetCurrentColumnNumber(parser));
}

namespace {
NUVBasInitCounter g_init;
}
void NUVBasXmlParser_initialize(int& count) {
    if (g_init.Enter(count)) NUVBasLifecycle_Record("XmlParser+");
}
void NUVBasXmlParser_finalize(int& count) {
    if (g_init.Leave(count)) NUVBasLifecycle_Record("XmlParser-");
}
