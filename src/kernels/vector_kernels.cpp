#include "kernels/vector_kernels.h"

#include <cstdlib>
#include <string_view>

// The targets this build compiled (see CMakeLists.txt); each defines its
// table in its own namespace.
namespace qrl::kernels {
#if defined(__x86_64__)
namespace baseline {
extern const VectorKernels table;
}
namespace avx2 {
extern const VectorKernels table;
}
namespace avx512 {
extern const VectorKernels table;
}
#elif defined(__aarch64__)
namespace neon {
extern const VectorKernels table;
}
#else
namespace generic {
extern const VectorKernels table;
}
#endif

namespace {

#if defined(__x86_64__)
enum class Level { Baseline, Avx2, Avx512 };

// QRL_CPU_FEATURES caps the instruction set: "baseline", "avx2" or
// "avx512".  It never raises one above what the processor supports; any
// other value, like an unset variable, leaves no cap.
const char* g_cap_name = nullptr;  // the cap in force when the table was chosen

Level cap_from_environment() {
    const char* value = std::getenv("QRL_CPU_FEATURES");
    const std::string_view cap = value != nullptr ? value : "";
    g_cap_name = cap == "baseline" ? "baseline" : cap == "avx2" ? "avx2" : cap == "avx512" ? "avx512" : nullptr;
    if (cap == "baseline") return Level::Baseline;
    if (cap == "avx2") return Level::Avx2;
    return Level::Avx512;
}

Level supported_by_processor() {
    __builtin_cpu_init();
    // The checks include the operating system's support for the registers.
    if (__builtin_cpu_supports("avx512f")) return Level::Avx512;
    if (__builtin_cpu_supports("avx2")) return Level::Avx2;
    return Level::Baseline;
}

const VectorKernels& choose() {
    const Level cap = cap_from_environment();
    const Level supported = supported_by_processor();
    switch (cap < supported ? cap : supported) {
        case Level::Avx512: return avx512::table;
        case Level::Avx2: return avx2::table;
        default: return baseline::table;
    }
}
#elif defined(__aarch64__)
// NEON is part of every aarch64 processor; QRL_CPU_FEATURES has no effect.
const VectorKernels& choose() { return neon::table; }
#else
const VectorKernels& choose() { return generic::table; }
#endif

}  // namespace

const VectorKernels& vector_kernels() {
    static const VectorKernels& chosen = choose();
    return chosen;
}

InstructionSetChoice instruction_set_choice() {
    InstructionSetChoice choice{vector_kernels().name, {}, 0, nullptr};
#if defined(__x86_64__)
    const Level supported = supported_by_processor();
    choice.allowed[choice.allowed_count++] = "baseline";
    if (supported >= Level::Avx2) choice.allowed[choice.allowed_count++] = "avx2";
    if (supported >= Level::Avx512) choice.allowed[choice.allowed_count++] = "avx512";
    choice.cap = g_cap_name;
#else
    choice.allowed[choice.allowed_count++] = choice.chosen;
#endif
    return choice;
}

}  // namespace qrl::kernels
