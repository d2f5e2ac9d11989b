// Every catalogue class built from sample values (generated as NUVZubExcCases.cpp),
// with typed views that let one table-driven test check all of them.
#pragma once

#include <NUVBas/NUVBasException.h>
#include <NUVBas/xmp_XML.h>
#include <NUVZub/NUVZubUttExceptionString.h>
#include <NUVZub/NUVZubUttSerErrors.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

/// Getter name and its value rendered as text, in the class's getter order.
using Shown = std::pair<std::string, std::string>;
using Getters = std::vector<Shown>;

struct CatalogueCase {
    const char* name;
    int code;
    const char* base; ///< "NUVBasException" or the family base
    NUVBasException* (*make)();
    NUVBasException* (*copy)(const NUVBasException&);
    Getters (*getters)(const NUVBasException&);
    /// For derived classes: the base's getters read through a base reference.
    Getters (*baseGetters)(const NUVBasException&);
    /// For derived classes: the code caught as the base after Propagate (-1 if missed).
    int (*caughtAsBase)(const NUVBasException&);
};

extern const CatalogueCase kCatalogueCases[];
extern const std::size_t kCatalogueCaseCount;

template <std::size_t N> Shown Show(const char* getter, const NUVZubUttExceptionString<N>& v) {
    return {getter, v.AsString()};
}
// The pointer itself is the value: the text is the raiser's, never copied.
inline Shown Show(const char* getter, const char* v) {
    char address[32];
    std::snprintf(address, sizeof address, "%p:", static_cast<const void*>(v));
    return {getter, std::string(address) + (v ? v : "")};
}
inline Shown Show(const char* getter, const NUVBasSystemError& v) {
    return {getter, std::to_string(v.GetCode()) + ":" + v.AsString()};
}
inline Shown Show(const char* getter, const NUVZubUttSerParserPlace& v) {
    return {getter, v.AsString()};
}
// Numbers, and the serialisation errors by their codes.
template <class T> Shown Show(const char* getter, const T& v) {
    if constexpr (std::is_floating_point<T>::value) {
        char text[40];
        std::snprintf(text, sizeof text, "%.17g", static_cast<double>(v));
        return {getter, text};
    } else if constexpr (std::is_arithmetic<T>::value) {
        return {getter, std::to_string(v)};
    } else {
        return {getter, std::to_string(v.GetCode())};
    }
}

template <class X> NUVBasException* CopyOf(const NUVBasException& e) {
    return new X(dynamic_cast<const X&>(e));
}
// GettersOf(const X&) is generated per class and found by argument-dependent lookup.
template <class X> Getters GettersAs(const NUVBasException& e) {
    return GettersOf(dynamic_cast<const X&>(e));
}
template <class Base> int CaughtAs(const NUVBasException& e) {
    try {
        e.Propagate();
    } catch (const Base& caught) {
        return caught.GetCode();
    } catch (...) {
    }
    return -1;
}

/// What a parser stopped by a mismatched end tag on line 2 reports.
template <class T> T FromFailedParser() {
    XML_Parser parser = xmp_XML_ParserCreate(nullptr);
    static const char kText[] = "<a>\n  <b></a>";
    xmp_XML_Parse(parser, kText, static_cast<int>(sizeof kText - 1), 1);
    T value(parser);
    xmp_XML_ParserFree(parser);
    return value;
}
inline NUVZubUttSerParserError SampleParserError() {
    return FromFailedParser<NUVZubUttSerParserError>();
}
inline NUVZubUttSerParserPlace SampleParserPlace() {
    return FromFailedParser<NUVZubUttSerParserPlace>();
}
inline NUVZubUttSerSystemError SampleSerSystemError() {
    errno = EACCES;
    return NUVZubUttSerSystemError();
}
