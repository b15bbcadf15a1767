// Runtime choice of instruction set for the hot loops over whole columns.
#pragma once

namespace morvane {

// Runs f compiled for AVX2 when the processor has it (everything f calls is inlined
// into that build), else as compiled for the baseline. The flag and count loops are
// memory-bound compare-and-store loops that only vectorise well with AVX2.
template <class F>
[[gnu::target("avx2"), gnu::flatten]] decltype(auto) run_avx2(F& f) {
    return f();
}

template <class F>
decltype(auto) with_best_isa(F&& f) {
#ifdef MORVANE_SANITIZE_BUILD
    // Flattening whole loops with their hash sets under sanitizer instrumentation
    // costs the compiler minutes and gigabytes per file; the instrumented build
    // checks the same source compiled once, for the baseline instruction set.
    return f();
#else
    static const bool AVX2 = __builtin_cpu_supports("avx2");
    if (AVX2) return run_avx2(f);
    return f();
#endif
}

}  // namespace morvane
