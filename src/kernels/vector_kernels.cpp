#include "kernels/vector_kernels.h"

#include <cstdlib>
#include <string_view>

// The targets of this architecture, from kernels/vector_targets.h (the list
// CMakeLists.txt compiles); each defines its table in its own namespace.
#define QRL_IGNORE_TARGET(name, lanes, flags, feature)
#if defined(__x86_64__)
#define QRL_X86_64_TARGET(name, lanes, flags, feature) QRL_TARGET_ENTRY(name, feature)
#define QRL_AARCH64_TARGET QRL_IGNORE_TARGET
#define QRL_OTHER_TARGET QRL_IGNORE_TARGET
#define QRL_PROCESSOR_SUPPORTS(feature) __builtin_cpu_supports(feature)
#elif defined(__aarch64__)
#define QRL_X86_64_TARGET QRL_IGNORE_TARGET
#define QRL_AARCH64_TARGET(name, lanes, flags, feature) QRL_TARGET_ENTRY(name, feature)
#define QRL_OTHER_TARGET QRL_IGNORE_TARGET
#define QRL_PROCESSOR_SUPPORTS(feature) true
#else
#define QRL_X86_64_TARGET QRL_IGNORE_TARGET
#define QRL_AARCH64_TARGET QRL_IGNORE_TARGET
#define QRL_OTHER_TARGET(name, lanes, flags, feature) QRL_TARGET_ENTRY(name, feature)
#define QRL_PROCESSOR_SUPPORTS(feature) true
#endif

namespace qrl::kernels {

#define QRL_TARGET_ENTRY(name, feature) \
    namespace name {                    \
    extern const VectorKernels table;   \
    }
#include "kernels/vector_targets.h"
#undef QRL_TARGET_ENTRY

namespace {

struct Target {
    std::string_view name;
    const VectorKernels* table;
    bool supported;  // by this processor and operating system (registers included)
};

// QRL_CPU_FEATURES caps the instruction set at the target it names exactly
// ("baseline", "avx2" or "avx512" on x86-64).  It never raises one above what
// the processor supports; any other value, like an unset variable, leaves no
// cap.
const VectorKernels& choose() {
#if defined(__x86_64__)
    __builtin_cpu_init();
#endif
    const Target targets[] = {
#define QRL_TARGET_ENTRY(name, feature) {#name, &name::table, QRL_PROCESSOR_SUPPORTS(feature)},
#include "kernels/vector_targets.h"
#undef QRL_TARGET_ENTRY
    };
    const char* value = std::getenv("QRL_CPU_FEATURES");
    const std::string_view cap = value != nullptr ? value : "";
    const VectorKernels* chosen = targets[0].table;  // the architecture's baseline always runs
    for (const Target& target : targets) {
        if (!target.supported) break;
        chosen = target.table;
        if (target.name == cap) break;
    }
    return *chosen;
}

}  // namespace

const VectorKernels& vector_kernels() {
    static const VectorKernels& chosen = choose();
    return chosen;
}

}  // namespace qrl::kernels
