// Compiler-specific spellings, in one place: function attributes, branch hints, the processor checks.
// Each has a branch for GCC and Clang (clang-cl too: it takes GNU attributes), one for MSVC and a plain
// fallback that drops the hint, so the same sources build with GCC, Clang, mingw-w64, MSVC and
// clang-cl. No other source spells a compiler extension (`./dev.sh lint` fails on one); the array scan's
// vector code, written over GNU vector types, is the one exception (docs/platforms.md).
#pragma once

// ---- function attributes and branch hints ---------------------------------------------------------
// Written before the declaration, in any order with each other and with `static`:
//   AC_COLD AC_NOINLINE PyObject* fail(...);
// AC_NOINLINE       never inlined: a rare path kept out of its caller's code.
// AC_COLD           rarely run: optimized for size and placed away from the hot code (GCC/Clang only;
//                   MSVC has no such attribute, its profile-guided builds find cold code themselves).
// AC_ALWAYS_INLINE  `inline`, and inlined even where the compiler's own measure would not.
// AC_LIKELY(c), AC_UNLIKELY(c)   the condition `c` as a bool, almost always true (false). MSVC has no
//                   branch hint (`__assume` is a promise, not a hint), so there they are `c` itself.
#if defined(__GNUC__) || defined(__clang__)
#define AC_NOINLINE __attribute__((noinline))
#define AC_COLD __attribute__((cold))
#define AC_ALWAYS_INLINE inline __attribute__((always_inline))
#define AC_LIKELY(c) __builtin_expect(static_cast<bool>(c), 1)
#define AC_UNLIKELY(c) __builtin_expect(static_cast<bool>(c), 0)
#elif defined(_MSC_VER)
#define AC_NOINLINE __declspec(noinline)
#define AC_COLD
#define AC_ALWAYS_INLINE __forceinline
#define AC_LIKELY(c) static_cast<bool>(c)
#define AC_UNLIKELY(c) static_cast<bool>(c)
#else
#define AC_NOINLINE
#define AC_COLD
#define AC_ALWAYS_INLINE inline
#define AC_LIKELY(c) static_cast<bool>(c)
#define AC_UNLIKELY(c) static_cast<bool>(c)
#endif

// ---- warnings -------------------------------------------------------------------------------------
// AC_ALLOW_DEPRECATED_BEGIN ... AC_ALLOW_DEPRECATED_END around a use of a field the interpreter's headers
// mark deprecated but still keep up to date (the dict version tag of 3.12 and 3.13).
#if defined(__GNUC__) || defined(__clang__)
#define AC_ALLOW_DEPRECATED_BEGIN \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wdeprecated-declarations\"")
#define AC_ALLOW_DEPRECATED_END _Pragma("GCC diagnostic pop")
#elif defined(_MSC_VER)
#define AC_ALLOW_DEPRECATED_BEGIN __pragma(warning(push)) __pragma(warning(disable : 4996))
#define AC_ALLOW_DEPRECATED_END __pragma(warning(pop))
#else
#define AC_ALLOW_DEPRECATED_BEGIN
#define AC_ALLOW_DEPRECATED_END
#endif

// ---- the target -----------------------------------------------------------------------------------
// AC_X86_64: 1 when compiling for x86-64 (GCC/Clang's macro, MSVC's; ARM64EC, which MSVC marks as x64
// too, is Arm code and does not count).
#if defined(__x86_64__) || (defined(_M_X64) && !defined(_M_ARM64EC))
#define AC_X86_64 1
#else
#define AC_X86_64 0
#endif

// AC_VECTOR_TYPES: 1 where GNU vector types (`vector_size`) and per-function `target` attributes exist,
// which the array scan's vector code is written with: GCC, Clang and mingw-w64. 0 for MSVC and clang-cl
// (which define no __GNUC__), which run the scan's plain loop.
#if defined(__GNUC__)
#define AC_VECTOR_TYPES 1
#else
#define AC_VECTOR_TYPES 0
#endif

// ---- processor features, asked at run time --------------------------------------------------------
#if AC_X86_64 && defined(_MSC_VER)
#include <intrin.h>  // __cpuid, __cpuidex, _xgetbv
#endif

namespace ac {

// Whether this processor runs AVX2 instructions and the operating system keeps the 32-byte registers
// across thread switches. False on every other processor.
inline bool cpu_has_avx2() noexcept {
#if AC_X86_64 && defined(_MSC_VER)
  // MSVC and clang-cl (whose Windows runtime lacks the GNU feature table): CPUID and XGETBV.
  int r[4];
  __cpuid(r, 0);
  if (r[0] < 7) return false;  // no leaf 7, the one that has the AVX2 bit
  __cpuid(r, 1);
  const bool osxsave = (r[2] & (1 << 27)) != 0, avx = (r[2] & (1 << 28)) != 0;  // ECX bits 27 and 28
  if (!osxsave || !avx) return false;
  if ((_xgetbv(0) & 0x6) != 0x6) return false;  // XCR0: the OS saves the SSE (bit 1) and AVX (bit 2) state
  __cpuidex(r, 7, 0);
  return (r[1] & (1 << 5)) != 0;  // leaf 7, EBX bit 5: AVX2
#elif AC_X86_64 && defined(__GNUC__)
  // GCC, Clang and mingw-w64: the feature table of libgcc (compiler-rt), which checks the OS support too.
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
#else
  return false;
#endif
}

}  // namespace ac
