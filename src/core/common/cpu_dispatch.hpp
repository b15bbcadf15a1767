// The runtime choices of instruction set: what the processor has, each asked once per
// process. Kernels written with intrinsics test it per call; a loop that only vectorises
// well with AVX2 runs through with_best_isa.
#pragma once

#include <cstdlib>

namespace morvane {

inline bool cpu_has_avx2() {
#ifdef MORVANE_SANITIZE_BUILD
    // The instrumented build checks the baseline code paths only: flattening whole loops
    // under sanitizer instrumentation costs the compiler minutes per file.
    return false;
#else
    static const bool AVX2 = __builtin_cpu_supports("avx2");
    return AVX2;
#endif
}

// AVX2 with FMA, for the block logarithms and the metric kernels built on them. Unlike
// cpu_has_avx2 it answers yes in the instrumented build too: those kernels are written
// with intrinsics, cheap to instrument, and the sanitizers check them.
inline bool cpu_has_avx2_fma() {
    static const bool YES = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return YES;
}

// AVX-512 F and VL on top of AVX2 with FMA; setting MORVANE_NO_AVX512 in the environment
// answers no (the tests run the AVX2 build of the regression kernel so).
inline bool cpu_has_avx512vl() {
    static const bool YES = cpu_has_avx2_fma() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                            std::getenv("MORVANE_NO_AVX512") == nullptr;
    return YES;
}

// Runs f compiled for AVX2 (everything f calls is inlined into that build) when the
// processor has it, else as compiled for the baseline.
template <class F>
[[gnu::target("avx2"), gnu::flatten]] decltype(auto) run_avx2(F& f) {
    return f();
}

template <class F>
decltype(auto) with_best_isa(F&& f) {
#ifdef MORVANE_SANITIZE_BUILD
    return f();
#else
    if (cpu_has_avx2()) return run_avx2(f);
    return f();
#endif
}

}  // namespace morvane
