// Large arrays are asked to be backed by huge pages where the system has them:
// a fresh page costs more to fault in than to fill, and these arrays are
// filled whole.
#pragma once

#include <cstddef>
#include <vector>

namespace indexlib {

void advise_huge(const void* p, size_t bytes);

// Reserves room for n elements of v, backed by huge pages where it can be.
template <class T>
void reserve_huge(std::vector<T>& v, size_t n) {
    v.reserve(n);
    advise_huge(v.data(), v.capacity() * sizeof(T));
}

}  // namespace indexlib
