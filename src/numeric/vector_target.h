// The instruction set a translation unit of vector kernels is compiled for.
// The build compiles those sources once per target, each with its own
// compiler flags and with QRL_TARGET (a namespace name) and QRL_LANES
// (doubles per register) defined; everything they define lives in the
// target's namespace, and one table per target is chosen at load time.
#pragma once

#if !defined(QRL_TARGET) || !defined(QRL_LANES)
#error "vector kernels are compiled once per target with QRL_TARGET and QRL_LANES defined"
#endif

// Helpers that take or return vectors are always inlined: an out-of-line
// copy would be a symbol that another target's copy could replace at link
// time.
#define QRL_VECTOR_INLINE [[gnu::always_inline]] inline
#define QRL_LAMBDA_INLINE __attribute__((always_inline))
