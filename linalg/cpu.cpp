#include "cpu.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>

namespace linalg {

namespace {

// The feature bits that a level needs, by where cpuid and xgetbv report them.
struct Features {
    unsigned leaf1_ecx;
    unsigned leaf7_ebx;
    unsigned extended_ecx;  // leaf 0x80000001
    unsigned xcr0;          // register state the operating system saves
};

constexpr unsigned bit(int n) { return 1u << n; }

// x86-64-v2: SSE3, SSSE3, CX16, SSE4.1, SSE4.2, POPCNT; LAHF/SAHF.
constexpr Features v2 = {bit(0) | bit(9) | bit(13) | bit(19) | bit(20) | bit(23), 0, bit(0), 0};
// x86-64-v3: FMA, MOVBE, XSAVE, OSXSAVE, AVX, F16C; BMI1, AVX2, BMI2; LZCNT; SSE and AVX state.
constexpr Features v3 = {v2.leaf1_ecx | bit(12) | bit(22) | bit(26) | bit(27) | bit(28) | bit(29),
                         bit(3) | bit(5) | bit(8), v2.extended_ecx | bit(5), bit(1) | bit(2)};
// x86-64-v4: AVX-512 F, DQ, CD, BW, VL; opmask and ZMM state.
constexpr Features v4 = {v3.leaf1_ecx,
                         v3.leaf7_ebx | bit(16) | bit(17) | bit(28) | bit(30) | bit(31),
                         v3.extended_ecx, v3.xcr0 | bit(5) | bit(6) | bit(7)};

bool has(unsigned value, unsigned bits) { return (value & bits) == bits; }

Features cpu() {
    Features found = {0, 0, 0, 0};
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_count(1, 0, &eax, &ebx, &ecx, &edx)) {
        found.leaf1_ecx = ecx;
    }
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
        found.leaf7_ebx = ebx;
    }
    if (__get_cpuid_count(0x80000001u, 0, &eax, &ebx, &ecx, &edx)) {
        found.extended_ecx = ecx;
    }
    // xgetbv exists only where the operating system has enabled it (OSXSAVE).
    if (has(found.leaf1_ecx, bit(27))) {
        unsigned low = 0, high = 0;
        __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
        found.xcr0 = low;
    }
    return found;
}

bool runs(const Features& level) {
    static const Features found = cpu();
    return has(found.leaf1_ecx, level.leaf1_ecx) && has(found.leaf7_ebx, level.leaf7_ebx) &&
           has(found.extended_ecx, level.extended_ecx) && has(found.xcr0, level.xcr0);
}

}  // namespace

bool cpu_runs_x86_64_v3() { return runs(v3); }
bool cpu_runs_x86_64_v4() { return runs(v4); }

bool cpu_made_by_intel() {
    unsigned highest = 0, ebx = 0, ecx = 0, edx = 0;
    // "GenuineIntel", in EBX, EDX, ECX order.
    return __get_cpuid(0, &highest, &ebx, &ecx, &edx) && ebx == 0x756e6547u &&
           edx == 0x49656e69u && ecx == 0x6c65746eu;
}

}  // namespace linalg
#else
namespace linalg {
bool cpu_made_by_intel() { return false; }
}  // namespace linalg
#endif
