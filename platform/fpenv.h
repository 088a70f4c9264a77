// Money arithmetic that does not depend on the floating-point state the host
// left behind. A host may change the rounding mode, or lower the x87 precision
// control to 53 bits (many runtimes do); products and quotients of amounts
// would then round differently at exact ties. FloatEnvironmentGuard saves the
// whole environment, sets round-to-nearest and, on x86 with its x87 unit, the
// 64-bit precision, and restores the host's environment when it goes.
#pragma once

#include <cfenv>

#if defined(_MSC_VER) && defined(_M_IX86)
#include <float.h>
#endif

namespace qx {

class FloatEnvironmentGuard {
 public:
  FloatEnvironmentGuard() {
    saved_ = std::fegetenv(&environment_) == 0;
    std::fesetround(FE_TONEAREST);
    SetExtendedPrecision();
  }
  ~FloatEnvironmentGuard() {
    if (saved_) std::fesetenv(&environment_);
  }
  FloatEnvironmentGuard(const FloatEnvironmentGuard&) = delete;
  FloatEnvironmentGuard& operator=(const FloatEnvironmentGuard&) = delete;

 private:
  // The x87 precision-control field (bits 8 and 9 of the control word) set to
  // 64-bit mantissas; the saved environment holds the host's setting.
  static void SetExtendedPrecision() {
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__i386__) || defined(__x86_64__))
    unsigned short control = 0;
    __asm__ __volatile__("fnstcw %0" : "=m"(control));
    control = static_cast<unsigned short>(control | 0x0300);
    __asm__ __volatile__("fldcw %0" : : "m"(control));
#elif defined(_MSC_VER) && defined(_M_IX86)
    unsigned int current = 0;
    _controlfp_s(&current, _PC_64, _MCW_PC);
#endif
  }

  std::fenv_t environment_;
  bool saved_ = false;
};

}  // namespace qx
