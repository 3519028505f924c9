// Link-time wrappers of exp, log, pow and sqrt for the counting build: the
// linker sends every call from the model's objects to __wrap_NAME
// (-Wl,--wrap=NAME), which records it with its return address and calls the
// real function. The record is the one piece of global state of kelm_count, by
// necessity: the wrapped functions take no context.
#include "bench/call_counter.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>

extern "C" {
double __real_exp(double);
double __real_log(double);
double __real_pow(double, double);
double __real_sqrt(double);
}

namespace kelmora::bench {
namespace {

std::vector<Call>& recorded() {
    static std::vector<Call> calls = [] {
        std::vector<Call> v;
        v.reserve(4096);
        return v;
    }();
    return calls;
}

}  // namespace

void record_call(Fn fn, void* from) {
    recorded().push_back({fn, reinterpret_cast<uintptr_t>(from)});
}

void take_calls(std::vector<Call>& out) {
    out.clear();
    out.swap(recorded());
}

std::string call_site(uintptr_t from) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(from), &info) == 0 || !info.dli_fname) return "?";
    // The return address follows the call: one byte back lies within it.
    const uintptr_t offset = from - 1 - reinterpret_cast<uintptr_t>(info.dli_fbase);
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) return "?";
    exe[n] = 0;
    char hex[32];
    std::snprintf(hex, sizeof hex, "0x%lx", static_cast<unsigned long>(offset));
    const std::string cmd =
        "addr2line -C -f -i -s -e '" + std::string(exe) + "' " + hex + " 2>/dev/null";
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return "?";
    std::string text;
    char line[1024];
    bool function_line = true;
    while (std::fgets(line, sizeof line, pipe)) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        if (function_line) {
            const size_t paren = s.find('(');  // drop the argument list
            if (paren != std::string::npos) s.resize(paren);
            if (!text.empty()) text += " < ";
            text += s;
        } else {
            text += " (" + s + ")";
        }
        function_line = !function_line;
    }
    pclose(pipe);
    return text.empty() ? "?" : text;
}

}  // namespace kelmora::bench

extern "C" {
double __wrap_exp(double x) {
    kelmora::bench::record_call(kelmora::bench::kExp, __builtin_return_address(0));
    return __real_exp(x);
}
double __wrap_log(double x) {
    kelmora::bench::record_call(kelmora::bench::kLog, __builtin_return_address(0));
    return __real_log(x);
}
double __wrap_pow(double x, double y) {
    kelmora::bench::record_call(kelmora::bench::kPow, __builtin_return_address(0));
    return __real_pow(x, y);
}
double __wrap_sqrt(double x) {
    kelmora::bench::record_call(kelmora::bench::kSqrt, __builtin_return_address(0));
    return __real_sqrt(x);
}
}
