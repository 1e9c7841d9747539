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
#define QRL_PROCESSOR_SUPPORTS(feature) (__builtin_cpu_supports(feature) != 0)
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

// The targets of this architecture in the order of the list, each with
// whether this processor (and operating system, registers included) runs it.
struct Targets {
    Target all[3];
    int count = 0;
};

const Targets& targets() {
    static const Targets found = [] {
#if defined(__x86_64__)
        __builtin_cpu_init();
#endif
        Targets t;
#define QRL_TARGET_ENTRY(name, feature) t.all[t.count++] = {#name, &name::table, QRL_PROCESSOR_SUPPORTS(feature)};
#include "kernels/vector_targets.h"
#undef QRL_TARGET_ENTRY
        return t;
    }();
    return found;
}

// The cap QRL_CPU_FEATURES names exactly, or null.
const char* cap_from_environment() {
    const char* value = std::getenv("QRL_CPU_FEATURES");
    const std::string_view cap = value != nullptr ? value : "";
    const Targets& t = targets();
    for (int k = 0; k < t.count; ++k)
        if (t.all[k].name == cap) return t.all[k].name.data();
    return nullptr;
}

// QRL_CPU_FEATURES caps the instruction set at the target it names exactly
// ("baseline", "avx2" or "avx512" on x86-64).  It never raises one above what
// the processor supports; any other value, like an unset variable, leaves no
// cap.
const char* g_cap_name = nullptr;  // the cap in force when the table was chosen

const VectorKernels& choose() {
    const Targets& t = targets();
    const char* cap = cap_from_environment();
    g_cap_name = cap;
    const VectorKernels* chosen = t.all[0].table;  // the architecture's baseline always runs
    for (int k = 0; k < t.count; ++k) {
        if (!t.all[k].supported) break;
        chosen = t.all[k].table;
        if (cap != nullptr && t.all[k].name == cap) break;
    }
    return *chosen;
}

}  // namespace

const VectorKernels& vector_kernels() {
    static const VectorKernels& chosen = choose();
    return chosen;
}

InstructionSetChoice instruction_set_choice() {
    const char* chosen = vector_kernels().name;
    InstructionSetChoice choice{chosen, {}, 0, g_cap_name};
    const Targets& t = targets();
    for (int k = 0; k < t.count && k < 3; ++k)
        if (t.all[k].supported) choice.allowed[choice.allowed_count++] = t.all[k].name.data();
    return choice;
}

}  // namespace qrl::kernels
