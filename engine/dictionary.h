// Inspection of the XML dictionary's tag cache, for tests.
#ifndef TARN_DICTIONARY_H
#define TARN_DICTIONARY_H

#include <cstdint>

#include "engine/tarn20.h"

namespace tarn {

// Number of names cached by this XML dictionary (found without a query).
uint32_t XmlDctCachedNames(const lumxmldct* xd);
// Number of buckets of its hash table: 2 at creation, doubling as it fills.
uint32_t XmlDctBuckets(const lumxmldct* xd);

}  // namespace tarn

#endif
