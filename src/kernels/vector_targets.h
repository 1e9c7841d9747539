// The instruction sets the vector kernels are compiled for: one line each,
// lowest first within an architecture, each a superset of the line before.
// Fields: name (the namespace, the QRL_CPU_FEATURES value, the table's name),
// doubles per register, compiler flags, the processor feature that allows it
// (as __builtin_cpu_supports spells it).
// CMakeLists.txt reads these lines to compile the vector sources once per
// line; kernels/vector_kernels.cpp expands them to declare the tables and to
// choose one.  No include guard: it is included once per expansion.
QRL_X86_64_TARGET(baseline, 2, "", "sse2")
QRL_X86_64_TARGET(avx2, 4, "-mavx2", "avx2")
QRL_X86_64_TARGET(avx512, 8, "-mavx512f", "avx512f")
QRL_AARCH64_TARGET(neon, 2, "", "")
QRL_OTHER_TARGET(generic, 2, "", "")
