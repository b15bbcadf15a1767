// Walks over the present values of a numeric column: every value, or only their range.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/profile/column.hpp"

namespace morvane::profile {

// Calls f(v) for every present value (nulls and NaN skipped), with a tight loop for the
// contiguous, all-valid, native-order case.
template <class F>
inline void for_each_present(const Column& c, F&& f) {
    for (const Chunk& ch : c.chunks) {
        if (ch.dictionary || !(ch.is_numeric() || ch.is_bool())) continue;
        if (ch.is_bool()) {
            for (std::int64_t i = 0; i < ch.length; ++i)
                if (ch.valid(i)) f(ch.number(i));
            continue;
        }
        dispatch_numeric(ch.phys, [&](auto tag) {
            using T = decltype(tag);
            const std::uint8_t* base = ch.data + ch.offset * ch.stride;
            if (!ch.validity && !ch.swap && ch.stride == static_cast<std::int64_t>(sizeof(T)) &&
                reinterpret_cast<std::uintptr_t>(base) % alignof(T) == 0) {
                const T* x = reinterpret_cast<const T*>(base);
                for (std::int64_t i = 0; i < ch.length; ++i) {
                    const double v = static_cast<double>(x[i]);
                    if (v == v) f(v);
                }
                return;
            }
            for (std::int64_t i = 0; i < ch.length; ++i) {
                if (!ch.valid(i)) continue;
                const double v = static_cast<double>(load<T>(base + i * ch.stride, ch.swap));
                if (v == v) f(v);
            }
        });
    }
}

// The least and greatest kept value and their number: branch-free on contiguous float64
// (the compiler vectorises it), through for_each_present otherwise. NaN fails both
// compares, so it never moves a bound.
template <bool FINITE>
inline void value_range(const Column& c, double& lo, double& hi, std::int64_t& m) {
    lo = std::numeric_limits<double>::infinity();
    hi = -lo;
    m = 0;
    for (const Chunk& ch : c.chunks) {
        const std::uint8_t* base = ch.data + ch.offset * ch.stride;
        if (ch.phys == Phys::F64 && !ch.dictionary && !ch.validity && !ch.swap && ch.stride == 8 &&
            reinterpret_cast<std::uintptr_t>(base) % alignof(double) == 0) {
            const double* x = reinterpret_cast<const double*>(base);
            const double nan = std::numeric_limits<double>::quiet_NaN();
            double l = lo, h = hi;
            std::int64_t n = 0, i = 0;
#if defined(__SSE2__)
            // minpd(v, l) is exactly v < l ? v : l (and maxpd the same for >): NaN keeps l.
            __m128d l2 = _mm_set1_pd(lo), h2 = _mm_set1_pd(hi);
            __m128i n2 = _mm_setzero_si128();
            const __m128d nan2 = _mm_set1_pd(nan), zero = _mm_setzero_pd();
            for (; i + 2 <= ch.length; i += 2) {
                __m128d v = _mm_loadu_pd(x + i);
                if constexpr (FINITE) {
                    const __m128d finite = _mm_cmpeq_pd(_mm_sub_pd(v, v), zero);
                    v = _mm_or_pd(_mm_and_pd(finite, v), _mm_andnot_pd(finite, nan2));
                }
                l2 = _mm_min_pd(v, l2);
                h2 = _mm_max_pd(v, h2);
                n2 = _mm_sub_epi64(n2, _mm_castpd_si128(_mm_cmpeq_pd(v, v)));
            }
            alignas(16) double lanes[4];
            alignas(16) std::int64_t counts[2];
            _mm_store_pd(lanes, l2);
            _mm_store_pd(lanes + 2, h2);
            _mm_store_si128(reinterpret_cast<__m128i*>(counts), n2);
            l = lanes[0] < lanes[1] ? lanes[0] : lanes[1];
            h = lanes[2] > lanes[3] ? lanes[2] : lanes[3];
            n = counts[0] + counts[1];
#endif
            for (; i < ch.length; ++i) {
                double v = x[i];
                if constexpr (FINITE) v = v - v == 0.0 ? v : nan;
                l = v < l ? v : l;
                h = v > h ? v : h;
                n += v == v;
            }
            lo = l < lo ? l : lo;
            hi = h > hi ? h : hi;
            m += n;
            continue;
        }
        Column one;
        one.chunks.push_back(ch);
        for_each_present(one, [&](double v) {
            if (FINITE && !std::isfinite(v)) return;
            lo = v < lo ? v : lo;
            hi = v > hi ? v : hi;
            ++m;
        });
    }
}

}  // namespace morvane::profile
