#pragma once

#include <cstdint>

namespace stratavon {

// The message catalog of the event ids 0xC000010A..0xC0000118, compiled in
// from resources/EventCatalog.inc. Texts carry %1..%4 insertion points.
// Null for an id outside the catalog.
const char* EventCatalogText(uint32_t dwEventId);

constexpr uint32_t kFirstCatalogEventId = 0xC000010A;
constexpr uint32_t kLastCatalogEventId = 0xC0000118;

}  // namespace stratavon
