"""Stable-Baselines3's `RolloutBuffer.compute_returns_and_advantage`, computed by quorvale_rl_core.

`compute_returns_and_advantage(buffer, last_values, dones)` fills `buffer.advantages` and `buffer.returns` in place
as the method does: (buffer_size, n_envs) float32 arrays, `episode_starts[t + 1]` ending step t, `dones` ending the
last step, `last_values` the bootstrap after it. Truncation bootstraps are SB3's to fold into the rewards while
collecting (r + gamma * V(final observation)), as it does. A subclass calls it from its own method:

    class FastRolloutBuffer(RolloutBuffer):
        def compute_returns_and_advantage(self, last_values, dones):
            sb3.compute_returns_and_advantage(self, last_values, dones)
"""

from __future__ import annotations

import numpy as np
import torch

from . import compute_padded_gae

__all__ = ["compute_returns_and_advantage"]


def compute_returns_and_advantage(buffer, last_values, dones):
    if isinstance(last_values, torch.Tensor):
        last_values = last_values.detach().cpu().numpy()
    bootstrap = np.asarray(last_values).reshape(-1)
    compute_padded_gae(
        buffer.rewards,
        buffer.values,
        gamma=buffer.gamma,
        gae_lambda=buffer.gae_lambda,
        time_axis=0,
        episode_starts=buffer.episode_starts,
        last_dones=np.asarray(dones).reshape(-1),
        bootstrap=bootstrap,
        out=(buffer.advantages, buffer.returns),
    )
