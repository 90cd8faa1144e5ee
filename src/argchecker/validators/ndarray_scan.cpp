// One pass over the elements for minimum, maximum and NaN together, where NumPy's `min`, `max` and
// `isnan` + `any` take one pass each.
//
// The loop is written once, over GCC/Clang vector types, so that the compiler emits the vector
// instructions of whichever width it is instantiated for: 16-byte vectors everywhere (SSE2, NEON) and,
// on x86-64, 32-byte AVX2 vectors chosen at run time when the processor has them. Four independent
// accumulators keep the comparisons of one vector from waiting for the previous one. Compilers without
// vector types run the plain loop, which is also the tail of every run.
#include "validators/ndarray_scan.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "runtime/portable.h"

// The vector code is the one place outside runtime/portable.h with GNU spellings of its own: the
// `vector_size` type, the `target("avx2")` tier and the pragma below (`./dev.sh lint` allows these three
// here and nowhere else). It is compiled where portable.h says GNU vector types exist.
#if AC_VECTOR_TYPES && AC_X86_64
// The vector helpers below are always inlined, so the warning that returning a 32-byte vector has a
// different calling convention without AVX concerns no real call.
#pragma GCC diagnostic ignored "-Wpsabi"
#define AC_SCAN_AVX2 1
#else
#define AC_SCAN_AVX2 0
#endif

namespace ac {

ElemType elem_type_of_format(const char* format, std::size_t itemsize) noexcept {
  if (!format) return {};
  const std::uint16_t probe = 1;
  unsigned char first;
  std::memcpy(&first, &probe, 1);
  const bool little = first == 1;
  switch (*format) {
    case '@':
    case '=':
      ++format;
      break;
    case '<':
      if (!little) return {};
      ++format;
      break;
    case '>':
    case '!':
      if (little) return {};
      ++format;
      break;
    default:
      break;
  }
  if (format[0] == '\0' || format[1] != '\0') return {};
  const bool int_width = itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8;
  const auto size = static_cast<unsigned char>(itemsize);
  switch (format[0]) {
    case '?':
      if (itemsize == 1) return {ElemKind::Bool, 1};
      break;
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q':
    case 'n':
      if (int_width) return {ElemKind::Signed, size};
      break;
    case 'B':
    case 'H':
    case 'I':
    case 'L':
    case 'Q':
    case 'N':
      if (int_width) return {ElemKind::Unsigned, size};
      break;
    case 'e':
      if (itemsize == 2) return {ElemKind::Float, 2};
      break;
    case 'f':
      if (itemsize == 4) return {ElemKind::Float, 4};
      break;
    case 'd':
      if (itemsize == 8) return {ElemKind::Float, 8};
      break;
    case 'O':
      if (itemsize == sizeof(void*)) return {ElemKind::Object, size};
      break;
    default:
      break;
  }
  return {};
}

namespace {

template <class T>
AC_ALWAYS_INLINE T load(const unsigned char* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// How elements are compared. `Direct`: as they are (integers, float, double); NaN never wins a
// comparison, so it leaves the running extremes alone and is only recorded.
template <class T>
struct Direct {
  using Elem = T;
  using Key = T;
  static constexpr bool kNan = std::is_floating_point<T>::value;
  template <class X>
  static AC_ALWAYS_INLINE X key(const X& v) noexcept {
    return v;
  }
  template <class X>
  static AC_ALWAYS_INLINE auto is_nan(const X& v) noexcept {
    return v != v;  // NOLINT(misc-redundant-expression): true only for NaN
  }
};

// Half-precision numbers, which the processor cannot compare: their bits as a signed 16-bit key that
// orders like the numbers (negative numbers mirrored). -0 sorts just below +0, which only decides which
// of two equal zeros is reported.
struct Half {
  using Elem = std::int16_t;
  using Key = std::int16_t;
  static constexpr bool kNan = true;
  template <class X>
  static AC_ALWAYS_INLINE X key(const X& bits) noexcept {
    return static_cast<X>(bits ^ ((bits >> 15) & 0x7fff));
  }
  template <class X>
  static AC_ALWAYS_INLINE auto is_nan(const X& bits) noexcept {
    return (bits & 0x7fff) > 0x7c00;
  }
};

template <class Key>
struct Span {
  Key lo, hi;
  bool nan;
};

template <std::size_t B, class P>
AC_ALWAYS_INLINE Span<typename P::Key> scan_run(const unsigned char* p, std::size_t n) noexcept {
  using Elem = typename P::Elem;
  using Key = typename P::Key;
  Key lo = P::key(load<Elem>(p)), hi = lo;
  bool nan = P::kNan && P::is_nan(load<Elem>(p));
  std::size_t i = 1;
#if AC_VECTOR_TYPES
  typedef Elem V __attribute__((vector_size(B)));
  using M = decltype(V{} != V{});
  constexpr std::size_t kLanes = B / sizeof(Elem), kAcc = 4, kStep = kLanes * kAcc;
  if (n >= kStep) {
    V vlo[kAcc], vhi[kAcc];
    M vnan[kAcc];
    for (std::size_t k = 0; k < kAcc; ++k) {
      const V v = load<V>(p + k * B);
      vlo[k] = vhi[k] = P::key(v);
      vnan[k] = M{};
      if constexpr (P::kNan) vnan[k] = P::is_nan(v);
    }
    for (i = kStep; i + kStep <= n; i += kStep) {
      const unsigned char* q = p + i * sizeof(Elem);
      for (std::size_t k = 0; k < kAcc; ++k) {
        const V v = load<V>(q + k * B);
        const V key = P::key(v);
        vlo[k] = key < vlo[k] ? key : vlo[k];
        vhi[k] = vhi[k] < key ? key : vhi[k];
        if constexpr (P::kNan) vnan[k] |= P::is_nan(v);
      }
    }
    for (std::size_t k = 0; k < kAcc; ++k) {
      for (std::size_t j = 0; j < kLanes; ++j) {
        lo = vlo[k][j] < lo ? vlo[k][j] : lo;
        hi = hi < vhi[k][j] ? vhi[k][j] : hi;
        if constexpr (P::kNan) nan |= vnan[k][j] != 0;
      }
    }
  }
#endif
  for (; i < n; ++i) {
    const Elem v = load<Elem>(p + i * sizeof(Elem));
    const Key key = P::key(v);
    lo = key < lo ? key : lo;
    hi = hi < key ? key : hi;
    if constexpr (P::kNan) nan |= P::is_nan(v);
  }
  return {lo, hi, nan};
}

double half_to_double(std::uint16_t h) noexcept {
  const int exponent = (h >> 10) & 0x1f, mantissa = h & 0x3ff;
  double v;
  if (exponent == 0)
    v = std::ldexp(mantissa, -24);
  else if (exponent == 31)
    v = mantissa ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
  else
    v = std::ldexp(mantissa + 1024, exponent - 25);
  return h & 0x8000 ? -v : v;
}

template <std::size_t B, class P>
AC_ALWAYS_INLINE Extremes scan_as(const unsigned char* p, std::size_t n) noexcept {
  const auto s = scan_run<B, P>(p, n);
  Extremes e{};
  e.nan = s.nan;
  using Key = typename P::Key;
  if constexpr (std::is_same<P, Half>::value) {
    e.lo.f = half_to_double(static_cast<std::uint16_t>(Half::key(s.lo)));  // the key is its own inverse
    e.hi.f = half_to_double(static_cast<std::uint16_t>(Half::key(s.hi)));
  } else if constexpr (std::is_floating_point<Key>::value) {
    e.lo.f = s.lo;
    e.hi.f = s.hi;
  } else if constexpr (std::is_signed<Key>::value) {
    // An int8 element is a number, not a character: its sign is kept.
    e.lo.i = s.lo;  // NOLINT(bugprone-signed-char-misuse)
    e.hi.i = s.hi;  // NOLINT(bugprone-signed-char-misuse)
  } else {
    e.lo.u = s.lo;
    e.hi.u = s.hi;
  }
  return e;
}

using ScanFn = Extremes (*)(const unsigned char*, std::size_t) noexcept;
enum Slot { kI8, kU8, kI16, kU16, kI32, kU32, kI64, kU64, kF16, kF32, kF64, kSlots };

// A tier: the scan of any element type at one vector width. The AVX2 tier's code is compiled for AVX2
// only, and run only where the processor has it.
struct BaseTier {
  template <class P>
  static Extremes scan(const unsigned char* p, std::size_t n) noexcept {
    return scan_as<16, P>(p, n);
  }
};
#if AC_SCAN_AVX2
struct Avx2Tier {
  template <class P>
  __attribute__((target("avx2"))) static Extremes scan(const unsigned char* p, std::size_t n) noexcept {
    return scan_as<32, P>(p, n);
  }
};
#endif

// A tier's scans, in the order of `Slot`.
template <class Tier>
const ScanFn kTable[kSlots] = {Tier::template scan<Direct<std::int8_t>>,
                               Tier::template scan<Direct<std::uint8_t>>,
                               Tier::template scan<Direct<std::int16_t>>,
                               Tier::template scan<Direct<std::uint16_t>>,
                               Tier::template scan<Direct<std::int32_t>>,
                               Tier::template scan<Direct<std::uint32_t>>,
                               Tier::template scan<Direct<std::int64_t>>,
                               Tier::template scan<Direct<std::uint64_t>>,
                               Tier::template scan<Half>,
                               Tier::template scan<Direct<float>>,
                               Tier::template scan<Direct<double>>};

const ScanFn* pick_table() noexcept {
#if AC_SCAN_AVX2
  if (cpu_has_avx2()) return kTable<Avx2Tier>;
#endif
  return kTable<BaseTier>;
}

Slot slot_of(ElemType t) noexcept {
  const int width = t.size == 1 ? 0 : t.size == 2 ? 1 : t.size == 4 ? 2 : 3;
  switch (t.kind) {
    case ElemKind::Float:
      return static_cast<Slot>(kF16 + width - 1);
    case ElemKind::Signed:
      return static_cast<Slot>(kI8 + 2 * width);
    default:  // unsigned integers and booleans
      return static_cast<Slot>(kU8 + 2 * width);
  }
}

}  // namespace

Extremes scan_extremes(ElemType type, const void* data, std::size_t n) noexcept {
  static const ScanFn* const table = pick_table();
  const ScanFn scan = table[slot_of(type)];
  const auto* p = static_cast<const unsigned char*>(data);
  if (type.kind != ElemKind::Bool) return scan(p, n);
  // Booleans: any nonzero byte is True. Once a False and a True are seen the rest cannot change the
  // answer, so the run goes in blocks and stops there, as NumPy's own boolean reductions do.
  constexpr std::size_t kBlock = 1 << 14;
  Extremes e = scan(p, n < kBlock ? n : kBlock);
  for (std::size_t i = kBlock; i < n && !(e.lo.u == 0 && e.hi.u != 0); i += kBlock) {
    const Extremes b = scan(p + i, n - i < kBlock ? n - i : kBlock);
    if (b.lo.u < e.lo.u) e.lo.u = b.lo.u;
    if (b.hi.u > e.hi.u) e.hi.u = b.hi.u;
  }
  e.lo.u = e.lo.u != 0;
  e.hi.u = e.hi.u != 0;
  return e;
}

}  // namespace ac
