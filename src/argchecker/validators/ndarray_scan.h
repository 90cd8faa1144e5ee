// The minimum, the maximum and the presence of NaN in a contiguous run of numbers, found in one pass.
// Plain C++ on raw memory: nothing here touches Python objects.
#pragma once
#include <cstddef>

namespace ac {

enum class ElemKind : unsigned char { Other, Object, Bool, Signed, Unsigned, Float };

// An element type the direct readers know: the kind and the width in bytes.
struct ElemType {
  ElemKind kind = ElemKind::Other;
  unsigned char size = 0;
};

// The element type described by a buffer format of NumPy's simple types ("i", "=l", "<d", "?", "O"),
// when the bytes are in this machine's order; `Other` for anything else (another byte order, a complex,
// long double, string, structured or date type).
ElemType elem_type_of_format(const char* format, std::size_t itemsize) noexcept;

// The extremes of a run of numbers, widened: `i` for signed integers, `u` for unsigned ones and
// booleans (0 or 1), `f` for floating-point numbers. When `nan` is set, `lo` and `hi` are meaningless:
// NumPy's own minimum and maximum are then NaN.
union Wide {
  long long i;
  unsigned long long u;
  double f;
};
struct Extremes {
  Wide lo, hi;
  bool nan;
};

// Scans `n` >= 1 elements of a number kind (not `Object` or `Other`) from `data`, which need not be
// aligned. Uses the widest vector instructions this processor offers that pay off.
Extremes scan_extremes(ElemType type, const void* data, std::size_t n) noexcept;

}  // namespace ac
