// The module's Python functions in table order, which is also the order of
// __all__.  Written by .ci/function_lists.py from tests/registry.py: edit
// the list there.  Each name is defined by functions/<name>.cpp as the
// PyMethodDef qrl::binding::functions::<name>; module.cpp declares and
// registers them, CMakeLists.txt compiles the files.
#pragma once

#define QRL_MODULE_FUNCTIONS(X)       \
    X(compute_group_advantages)       \
    X(compute_gae)                    \
    X(batch_compute_gae)              \
    X(normalize_rewards)              \
    X(clip_rewards_py)                \
    X(compute_gspo_importance_ratios) \
    X(apply_gspo_clipping)            \
    X(compute_ppo_surrogate)          \
    X(compute_reward_statistics)      \
    X(compute_padded_gae)             \
    X(compute_grpo_advantages)        \
    X(compute_grpo_advantages_ragged) \
    X(compute_masked_whitening)       \
    X(compute_masked_returns)         \
    X(broadcast_row_values)           \
    X(compute_kl_penalty)             \
    X(runtime_info)
