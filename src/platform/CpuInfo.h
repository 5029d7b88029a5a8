#pragma once

#include <cstddef>

namespace stratavon {

// How many processors this process may run on (its affinity); 0 when it
// cannot be told.
unsigned UsableProcessorCount();

// The size of one core's level-2 cache; 1 MiB when the system does not say.
size_t PerCoreCacheBytes();

}  // namespace stratavon
