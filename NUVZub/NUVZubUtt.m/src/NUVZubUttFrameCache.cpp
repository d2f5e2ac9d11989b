#include "NUVZubUttFrameCache.h"

#include <NUVZubPlatform/Process.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Open addressing over a static table: no allocation but the frames' own, and
// a look-up is a few compares. At half full it starts afresh, so the memory
// stays bounded whatever the program's call sites.
constexpr std::size_t kSlots = 4096;
constexpr std::size_t kMostFrames = kSlots / 2;

struct Entry {
    const void* address;
    NUVZubUttCachedFrame frame;
    // The object's bytes, then the name's, follow.
};

Entry* g_slots[kSlots];
std::size_t g_count = 0;
unsigned g_losses = 0; // the report lock's losses the table has seen

/// After a fork that left the table half-changed, it is forgotten (not freed:
/// its entries may be half-made).
void ForgetIfLost() {
    const unsigned losses = NUVZubPlatform::ReportStateLosses();
    if (losses == g_losses) return;
    g_losses = losses;
    std::memset(g_slots, 0, sizeof g_slots);
    g_count = 0;
}

std::size_t SlotOf(const void* address) {
    // Fibonacci hashing: return addresses differ mostly in their middle bits.
    const std::uint64_t key = reinterpret_cast<std::uintptr_t>(address);
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 52) & (kSlots - 1);
}

} // namespace

const NUVZubUttCachedFrame* NUVZubUttFindCachedFrame(const void* address) {
    ForgetIfLost();
    for (std::size_t slot = SlotOf(address); g_slots[slot] != nullptr;
         slot = (slot + 1) & (kSlots - 1))
        if (g_slots[slot]->address == address) return &g_slots[slot]->frame;
    return nullptr;
}

void NUVZubUttKeepCachedFrame(const void* address, const NUVZubUttCachedFrame& frame) {
    ForgetIfLost();
    if (g_count >= kMostFrames) NUVZubUttReleaseCachedFrames();
    const std::size_t nameLength = frame.name != nullptr ? frame.nameLength : 0;
    auto* entry = static_cast<Entry*>(std::malloc(sizeof(Entry) + frame.jsonLength + nameLength));
    if (entry == nullptr) return;
    char* bytes = reinterpret_cast<char*>(entry + 1);
    std::memcpy(bytes, frame.json, frame.jsonLength);
    if (nameLength > 0) std::memcpy(bytes + frame.jsonLength, frame.name, nameLength);
    entry->address = address;
    entry->frame = frame;
    entry->frame.json = bytes;
    entry->frame.name = frame.name != nullptr ? bytes + frame.jsonLength : nullptr;
    std::size_t slot = SlotOf(address);
    while (g_slots[slot] != nullptr)
        slot = (slot + 1) & (kSlots - 1);
    g_slots[slot] = entry;
    ++g_count;
}

void NUVZubUttReleaseCachedFrames() {
    for (Entry*& entry : g_slots) {
        std::free(entry);
        entry = nullptr;
    }
    g_count = 0;
}
