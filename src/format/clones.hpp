// Loops that vectorise are compiled once per x86-64 level and the best one the processor runs is
// chosen when the module loads (function multiversioning, resolved through an ELF ifunc). The clone
// names are x86's, and Mach-O has no ifunc: elsewhere the plain function, which the compiler
// vectorises for the architecture's baseline (NEON on aarch64).
#pragma once

#if defined(__x86_64__) && defined(__ELF__) && defined(__GNUC__)
#define VANTREL_CLONES_AVX512_AVX2 __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#define VANTREL_CLONES_AVX2 __attribute__((target_clones("avx2", "default")))
#else
#define VANTREL_CLONES_AVX512_AVX2
#define VANTREL_CLONES_AVX2
#endif
