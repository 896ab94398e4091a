// Block coverage of zelk's native code for atheris, in the sanitizer build. GCC's
// -fsanitize-coverage=trace-pc calls __sanitizer_cov_trace_pc at the start of every basic block;
// each module counts those calls in 8-bit counters that libFuzzer reads once fuzz/harness.py has
// handed them over. Without a fuzzer the counts go nowhere.
#include <cstddef>
#include <cstdint>

namespace {

// Blocks are told apart by their address, folded into a table: a few collisions only blur coverage.
constexpr std::size_t slots = std::size_t(1) << 16;
unsigned char counters[slots];
// libFuzzer wants one (address, flags) pair per counter; no real address means no function entries.
std::uintptr_t pc_table[2 * slots];
bool handed_over = false;

}  // namespace

extern "C" {

__attribute__((no_sanitize_coverage)) void __sanitizer_cov_trace_pc() {
    auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    counters[(pc ^ (pc >> 16)) & (slots - 1)]++;
}

// Called by the harness (through ctypes, with libFuzzer's own entry points) before fuzzing starts.
__attribute__((visibility("default"), no_sanitize_coverage)) void zelk_coverage_register(
    void (*counters_init)(unsigned char*, unsigned char*), void (*pcs_init)(const std::uintptr_t*, const std::uintptr_t*)) {
    if (handed_over) return;
    handed_over = true;
    for (std::size_t i = 0; i < slots; i++) pc_table[2 * i] = i + 1;
    counters_init(counters, counters + slots);
    pcs_init(pc_table, pc_table + 2 * slots);
}
}
