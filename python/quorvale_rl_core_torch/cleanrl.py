"""CleanRL's GAE block (`ppo.py` and its variants), computed by quorvale_rl_core.

CleanRL's conventions kept: `rewards`, `values`, `dones` of shape (num_steps, num_envs); `dones[t]` means the
observation at t starts a new episode (so it ends step t - 1); `next_value` (shape (1, num_envs) or (num_envs,)) and
`next_done` the bootstrap and the flag after the last step; `returns = advantages + values`. In place of

    with torch.no_grad():
        next_value = agent.get_value(next_obs).reshape(1, -1)
        ...  # the loop over reversed(range(args.num_steps))
        returns = advantages + values

write

    with torch.no_grad():
        next_value = agent.get_value(next_obs).reshape(1, -1)
        advantages, returns = cleanrl.compute_advantages(
            rewards, values, dones, next_value, next_done, args.gamma, args.gae_lambda)
"""

from __future__ import annotations

from . import compute_padded_gae

__all__ = ["compute_advantages"]


def compute_advantages(rewards, values, dones, next_value, next_done, gamma=0.99, gae_lambda=0.95, *, out=None):
    """(advantages, returns) of CleanRL's block; `out=(advantages, returns)` tensors to fill, if given."""
    return compute_padded_gae(
        rewards,
        values,
        gamma=gamma,
        gae_lambda=gae_lambda,
        time_axis=0,
        episode_starts=dones,
        last_dones=next_done.reshape(-1),
        bootstrap=next_value.reshape(-1),
        out=out,
    )
