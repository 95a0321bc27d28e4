// What the CPU runs, asked once per level by the dispatcher (dispatch.cpp).
#pragma once

namespace linalg {

inline bool cpu_runs_baseline() { return true; }
// The x86-64 psABI levels: v3 adds AVX, AVX2, BMI1, BMI2, F16C, FMA, LZCNT, MOVBE and
// XSAVE to v2; v4 adds AVX-512 F, BW, CD, DQ and VL. Each also needs the operating system to
// save the wider registers. Defined on x86-64 with GCC and Clang, where those levels are built.
bool cpu_runs_x86_64_v3();
bool cpu_runs_x86_64_v4();

// Whether cpuid names Intel as the maker; false where there is no cpuid to ask. Defined on
// every platform.
bool cpu_made_by_intel();

}  // namespace linalg
