// Traceback frames of JSON reports, formatted once per return address and
// written again as they are by later reports, with their function's name for
// the fingerprint. Process-wide and bounded; used under the report lock only.
#pragma once

#include <cstddef>

struct NUVZubUttCachedFrame {
    const char* json; // the frame's JSON object
    std::size_t jsonLength;
    const char* name; // the function's name; null when the frame has none
    std::size_t nameLength;
    bool cut; // something in the object was cut to its field's cap
};

/// The frame kept for the return address `address`, or null.
const NUVZubUttCachedFrame* NUVZubUttFindCachedFrame(const void* address);
/// Keeps a copy of `frame` for `address`; nothing when memory is short (the
/// frame is then formatted again next time).
void NUVZubUttKeepCachedFrame(const void* address, const NUVZubUttCachedFrame& frame);
/// Frees every frame kept, as the library unloads; a later report starts afresh.
void NUVZubUttReleaseCachedFrames();
