// Signed 128-bit integer for exact time and sample-count arithmetic on every target (32-bit
// compilers have no native 128-bit type). Two's complement in two 64-bit words; +, - and * wrap
// modulo 2^128 like unsigned arithmetic, division truncates toward zero.
#pragma once

#include <cstdint>

#include "Assert.h"

class TInt128 {
public:
    constexpr TInt128(int64_t AValue = 0)
        : FHi(AValue < 0 ? ~uint64_t(0) : 0), FLo(static_cast<uint64_t>(AValue)) {}

    friend constexpr TInt128 operator+(TInt128 A, TInt128 B) {
        const uint64_t lo = A.FLo + B.FLo;
        return TInt128(A.FHi + B.FHi + (lo < A.FLo ? 1 : 0), lo);
    }
    friend constexpr TInt128 operator-(TInt128 A, TInt128 B) {
        return TInt128(A.FHi - B.FHi - (A.FLo < B.FLo ? 1 : 0), A.FLo - B.FLo);
    }
    friend constexpr TInt128 operator*(TInt128 A, TInt128 B) {
        TInt128 r = MulWide(A.FLo, B.FLo);
        r.FHi += A.FHi * B.FLo + A.FLo * B.FHi;
        return r;
    }
    // Truncating division by a positive divisor below 2^32 (time bases, sample rates).
    friend TInt128 operator/(TInt128 A, int64_t ADivisor) {
        QAC_ASSERT(ADivisor > 0 && ADivisor <= UINT32_MAX, "TInt128: divisor out of range");
        const bool negative = A.Negative();
        TInt128 m = negative ? TInt128() - A : A;
        const uint64_t d = static_cast<uint64_t>(ADivisor);
        uint64_t rest = 0;
        uint64_t* words[2] = {&m.FHi, &m.FLo};
        for (uint64_t* w : words) {
            uint64_t q = 0;
            for (int shift = 32; shift >= 0; shift -= 32) {
                const uint64_t cur = (rest << 32) | ((*w >> shift) & 0xFFFFFFFFu);
                q |= (cur / d) << shift;
                rest = cur % d;
            }
            *w = q;
        }
        return negative ? TInt128() - m : m;
    }
    // Arithmetic shift (rounds toward minus infinity), 0 < AShift < 64.
    friend constexpr TInt128 operator>>(TInt128 A, int AShift) {
        return TInt128(static_cast<uint64_t>(static_cast<int64_t>(A.FHi) >> AShift),
                       (A.FLo >> AShift) | (A.FHi << (64 - AShift)));
    }

    friend constexpr bool operator==(TInt128 A, TInt128 B) = default;
    friend constexpr bool operator<(TInt128 A, TInt128 B) {
        return static_cast<int64_t>(A.FHi) != static_cast<int64_t>(B.FHi)
                   ? static_cast<int64_t>(A.FHi) < static_cast<int64_t>(B.FHi)
                   : A.FLo < B.FLo;
    }
    friend constexpr bool operator>(TInt128 A, TInt128 B) { return B < A; }
    friend constexpr bool operator<=(TInt128 A, TInt128 B) { return !(B < A); }
    friend constexpr bool operator>=(TInt128 A, TInt128 B) { return !(A < B); }

    constexpr bool Negative() const { return static_cast<int64_t>(FHi) < 0; }
    // The value clamped to the 64-bit range.
    constexpr int64_t Saturated() const {
        if (*this > TInt128(INT64_MAX)) return INT64_MAX;
        if (*this < TInt128(INT64_MIN)) return INT64_MIN;
        return static_cast<int64_t>(FLo);
    }

    constexpr uint64_t High() const { return FHi; }
    constexpr uint64_t Low() const { return FLo; }

private:
    constexpr TInt128(uint64_t AHi, uint64_t ALo) : FHi(AHi), FLo(ALo) {}

    // Full 128-bit product of two 64-bit words.
    static constexpr TInt128 MulWide(uint64_t A, uint64_t B) {
        const uint64_t a0 = A & 0xFFFFFFFFu, a1 = A >> 32, b0 = B & 0xFFFFFFFFu, b1 = B >> 32;
        const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
        const uint64_t mid = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
        return TInt128(p11 + (p01 >> 32) + (p10 >> 32) + (mid >> 32),
                       (mid << 32) | (p00 & 0xFFFFFFFFu));
    }

    uint64_t FHi;
    uint64_t FLo;
};
