// Prime search, for the size of the hash table.
#pragma once

#include <cstdint>

namespace indexlib {

bool is_prime(uint32_t n);
// The first prime at or above n.
uint32_t next_prime(uint32_t n);

}  // namespace indexlib
