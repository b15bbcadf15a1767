// The one runtime choice of instruction set: whether the processor has AVX2, asked once
// per process. Kernels written with AVX2 intrinsics test it per call; a loop that only
// vectorises well with AVX2 runs through with_best_isa.
#pragma once

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
