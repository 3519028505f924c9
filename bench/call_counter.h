// The exp, log, pow and sqrt calls of the counting build (kelm_count), recorded
// in order by the link-time wrappers of call_counter.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kelmora::bench {

enum Fn : uint8_t { kExp, kLog, kPow, kSqrt, kFunctions };
inline constexpr std::array<const char*, kFunctions> kFnNames{"exp", "log", "pow", "sqrt"};

// One call: the function and the return address in the caller.
struct Call {
    Fn fn;
    uintptr_t from;
};

// Records a call (the wrappers do).
void record_call(Fn fn, void* from);

// Moves the calls recorded since the last take into `out` (cleared first).
void take_calls(std::vector<Call>& out);

// "function (file:line)" of the call that returns to `from`, with the
// functions it is inlined into, outermost last; addr2line does the work.
std::string call_site(uintptr_t from);

}  // namespace kelmora::bench
