// Function names as tracebacks show them, shared by both platforms' symbol
// readers.
#pragma once

#include <cstddef>

namespace NUVZubPlatform {

/// Length of `name` without a trailing parameter list and qualifiers, so that
/// "ns::f(int) const" reads "ns::f". Operators such as "operator()" are kept.
std::size_t WithoutParameters(const char* name);

} // namespace NUVZubPlatform
