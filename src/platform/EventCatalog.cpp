#include "platform/EventCatalog.h"

#include <cstddef>
#include <iterator>

namespace stratavon {

namespace {

struct CatalogEntry {
  uint32_t dwEventId;
  const char* szText;
};

constexpr CatalogEntry kCatalog[] = {
#define STRATAVON_EVENT(id, text) {id, text},
#include "EventCatalog.inc"
#undef STRATAVON_EVENT
};

// The lookup indexes by id, so the catalog must run through the whole range
// in order, one entry per id.
constexpr bool IsDenseAndOrdered() {
  for (size_t i = 0; i < std::size(kCatalog); ++i) {
    if (kCatalog[i].dwEventId != kFirstCatalogEventId + i) return false;
  }
  return std::size(kCatalog) == kLastCatalogEventId - kFirstCatalogEventId + 1;
}
static_assert(IsDenseAndOrdered(), "EventCatalog.inc must hold every id of the range, in order");

}  // namespace

const char* EventCatalogText(uint32_t dwEventId) {
  if (dwEventId < kFirstCatalogEventId || dwEventId > kLastCatalogEventId) return nullptr;
  return kCatalog[dwEventId - kFirstCatalogEventId].szText;
}

}  // namespace stratavon
