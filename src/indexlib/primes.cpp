#include "primes.h"

namespace indexlib {

bool is_prime(uint32_t n) {
    if (n < 2)
        return false;
    for (uint32_t d = 2; uint64_t{d} * d <= n; d++)
        if (n % d == 0)
            return false;
    return true;
}

uint32_t next_prime(uint32_t n) {
    while (!is_prime(n))
        n++;
    return n;
}

}  // namespace indexlib
