// The campaign's seeded generator: the same seed gives the same records, so a failing record can
// be sent again.
#pragma once
#include <stddef.h>
#include <stdint.h>

struct FuzzRandom {
    uint64_t state;
};

inline uint64_t fuzz_next(FuzzRandom* r) {  // splitmix64
    uint64_t z = (r->state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// 0 .. bound-1 (bound > 0).
inline uint32_t fuzz_below(FuzzRandom* r, uint32_t bound) { return static_cast<uint32_t>(fuzz_next(r) % bound); }

inline bool fuzz_chance(FuzzRandom* r, uint32_t percent) { return fuzz_below(r, 100) < percent; }

inline void fuzz_bytes(FuzzRandom* r, void* out, size_t cb) {
    unsigned char* p = static_cast<unsigned char*>(out);
    for (size_t i = 0; i < cb; ++i) p[i] = static_cast<unsigned char>(fuzz_next(r));
}

// A text field: empty, short printable, any UTF-16 units (surrogate halves and controls included),
// or filled to its last unit without a terminator; sometimes garbage after the terminator.
inline void fuzz_text(FuzzRandom* r, wchar_t* field, size_t cch) {
    for (size_t i = 0; i < cch; ++i) field[i] = 0;
    size_t n = 0;
    switch (fuzz_below(r, 5)) {
        case 0: n = 0; break;
        case 1: n = fuzz_below(r, 40); break;
        case 2: n = fuzz_below(r, static_cast<uint32_t>(cch)); break;
        default: n = cch; break;  // unterminated
    }
    bool any_unit = fuzz_chance(r, 50);
    for (size_t i = 0; i < n; ++i)
        field[i] = any_unit ? static_cast<wchar_t>(fuzz_next(r)) : static_cast<wchar_t>(0x20 + fuzz_below(r, 0x5F));
    if (n + 1 < cch && fuzz_chance(r, 20))
        for (size_t i = n + 1; i < cch; ++i) field[i] = static_cast<wchar_t>(fuzz_next(r));
}
