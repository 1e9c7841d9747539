// Sleeping on, and waking, a 32-bit atomic word (Linux futex), and the pause
// of a spin loop.  The waits are plain parking: every decision is taken on
// the atomics themselves, so a spurious or missed wake only costs a retry.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>

namespace qrl::parallel {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t), "a futex word is a plain 32-bit word");

// Sleeps while `word` holds `expected` (returns at once if it does not).
inline void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

// Wakes up to `count` threads sleeping on `word`.
inline void futex_wake(std::atomic<std::uint32_t>& word, int count = INT_MAX) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

inline void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

}  // namespace qrl::parallel
