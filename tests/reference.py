# Slow pure-Python model of the module's functions (the nine, then the trainer layer), bit for bit, written from their documented rules.
#
# Same parameters and defaults as the module. Sums are single running totals in index order from their
# start value; min / max are IEEE minNum / maxNum (NaN ignored, -0.0 below +0.0); Python float arithmetic
# is plain IEEE double without fused multiply-add. A float64 result vector is a `Vec`; None in a Vec is a
# value left undefined (the median of more than 20 values holding NaN).
import math

import numpy as np

INF, NAN = math.inf, math.nan


Vec = type("Vec", (list,), {})  # a float64 result vector
Failure = type("Failure", (Exception,), {})  # the module raises its internal-failure exception with this message


def floats(xs):
    return [float(x) for x in xs]


def min_num(a, b):
    return b if a != a or b < a or (a == b and math.copysign(1.0, b) < 0) else a


def max_num(a, b):
    return b if a != a or b > a or (a == b and math.copysign(1.0, a) < 0) else a


def div(a, b):  # IEEE division; Python raises on a zero divisor
    if b != 0.0:
        return a / b
    return NAN if a != a or a == 0.0 else math.copysign(INF, math.copysign(1.0, a) * math.copysign(1.0, b))


def total(xs):
    s = -0.0
    for x in xs:
        s = s + x
    return s


def clamp(x, lo, hi):  # a NaN passes both comparisons unchanged
    x = lo if x < lo else x
    return hi if x > hi else x


def fmt(x):  # shortest repr digits; exponent form outside [1e-4, 1e16)
    if x != x or math.isinf(x):
        return "NaN" if x != x else "inf" if x > 0 else "-inf"
    if x == 0.0 or 1e-4 <= abs(x) < 1e16:
        return repr(x)
    mantissa, _, exponent = repr(x).partition("e")
    return f"{mantissa}e{int(exponent)}"


def checked_bounds(lo, hi, n):
    if n and not lo <= hi:
        raise Failure(f"min > max, or either was NaN. min = {fmt(lo)}, max = {fmt(hi)}")


def compute_gae(rewards, values, gamma=0.99, gae_lambda=0.95):
    r, v, gamma = floats(rewards), floats(values), float(gamma)
    c, g, out = gamma * float(gae_lambda), 0.0, Vec([0.0] * len(r))
    for t in range(len(r) - 1, -1, -1):
        nxt = v[t + 1] if t + 1 < len(v) else 0.0
        cur = v[t] if t < len(v) else 0.0
        g = c * g + ((gamma * nxt + r[t]) - cur)
        out[t] = g
    return out


def batch_compute_gae(all_rewards, all_values, gamma=0.99, gae_lambda=0.95):
    return [compute_gae(r, v, gamma, gae_lambda) for r, v in zip(all_rewards, all_values)]


def middle(s):
    h = len(s) // 2
    return s[h] if len(s) % 2 else (s[h - 1] + s[h]) * 0.5


def insertion_sorted(x):  # a value moves left past strictly greater values only
    s = list(x)
    for k in range(1, len(s)):
        val, j = s[k], k
        while j > 0 and val < s[j - 1]:
            s[j], j = s[j - 1], j - 1
        s[j] = val
    return s


def group_row(x, baseline_type, normalize):
    n = len(x)
    if n == 0 or (baseline_type == "median" and n > 20 and any(e != e for e in x)):
        return [None] * n
    if baseline_type == "median":
        b = middle(insertion_sorted(x))
    elif baseline_type == "min":
        b = INF
        for e in x:
            b = min_num(b, e)
    else:
        b = total(x) / n
    a = [e - b for e in x]
    return standardised_group(a) if normalize else a


def compute_group_advantages(rewards, baseline_type, normalize):
    return Vec(v for row in rewards.tolist() for v in group_row(row, baseline_type, bool(normalize)))


def normalize_rewards(rewards, running_mean=0.0, running_var=1.0, count=0, epsilon=1e-8):
    x, mean, var, count = floats(rewards), float(running_mean), float(running_var), int(count)
    if not x:
        return Vec(), mean, var, count
    n_out = count + len(x)
    if n_out >= 2 ** 63:
        raise OverflowError("count + len(rewards) does not fit in a signed 64-bit integer")
    m2, k = var * float(count), count + 1
    for e in x:  # Welford's fold
        d = e - mean
        mean = mean + div(d, float(k))
        m2, k = m2 + d * (e - mean), k + 1
    var_out = m2 / float(n_out) if n_out >= 2 else 0.0
    s = float(epsilon) + var_out
    s = NAN if s < 0 else math.sqrt(s)
    return Vec(div(e - mean, s) for e in x), mean, var_out, n_out


def clip_rewards_py(rewards, min_val, max_val):
    x, lo, hi = floats(rewards), float(min_val), float(max_val)
    checked_bounds(lo, hi, len(x))
    return Vec(clamp(e, lo, hi) for e in x)


def compute_reward_statistics(rewards):
    x = floats(rewards)
    n = len(x)
    if n == 0:
        return dict(mean=0.0, std=0.0, min=0.0, max=0.0, median=0.0)
    mean = total(x) / n
    lo, hi = INF, -INF
    for e in x:
        lo, hi = min_num(lo, e), max_num(hi, e)
    if n > 1 and any(e != e for e in x):
        raise Failure("called `Option::unwrap()` on a `None` value")
    return dict(mean=mean, std=math.sqrt(total([(e - mean) * (e - mean) for e in x]) / n), min=lo, max=hi,
                median=middle(sorted(x)), count=float(n))


def compute_gspo_importance_ratios(log_probs_new, log_probs_old, sequence_lengths):
    def ratio(q):
        try:
            return math.exp(q)
        except OverflowError:  # where C's exp gives +inf
            return INF
    return Vec(1.0 if n < 1 else ratio((a - b) / float(n))
               for a, b, n in zip(floats(log_probs_new), floats(log_probs_old), map(int, sequence_lengths)))


def apply_gspo_clipping(ratios, advantages, clip_left=0.0003, clip_right=0.0004):
    out = Vec()
    for r, a in zip(floats(ratios), floats(advantages)):
        c = min_num(r, float(clip_right) + 1.0) if a >= 0.0 else max_num(r, 1.0 - float(clip_left))
        out.append(min_num(r * a, a * c))
    return out


def compute_ppo_surrogate(ratios, advantages, clip_epsilon=0.2):
    pairs = list(zip(floats(ratios), floats(advantages)))
    lo, hi = 1.0 - float(clip_epsilon), float(clip_epsilon) + 1.0
    checked_bounds(lo, hi, len(pairs))
    return Vec(min_num(a * r, a * clamp(r, lo, hi)) for r, a in pairs)


# ---------------------------------------------------------------- trainer-layer buffers (slow models)

def _flag(f, *index):
    return f is not None and bool(f[index])  # nonzero and NaN are set, -0.0 is not


def result_dtype(*arrays):
    """float32 when every given floating array is float32, else float64."""
    given = [a for a in arrays if a is not None]
    return np.float32 if all(np.asarray(a).dtype == np.float32 for a in given) else np.float64


def compute_padded_gae(rewards, values, next_values=None, dones=None, truncated=None, mask=None, gamma=0.99,
                       gae_lambda=0.95, *, time_axis=1, mask_mode="cut", bootstrap=None, final_values=None,
                       episode_starts=None, last_dones=None):
    """Padded GAE over (batch, time) or (time, batch) arrays, step by step in float64."""
    dtype = result_dtype(rewards, values, next_values, bootstrap, final_values)
    turn = (lambda a: a) if time_axis in (1, -1) else (lambda a: None if a is None else np.asarray(a).T)
    r, v, nv, fv = (turn(a) for a in (rewards, values, next_values, final_values))
    d, tr, m, st = (turn(a) for a in (dones, truncated, mask, episode_starts))
    rows, steps = r.shape
    c = gamma * gae_lambda
    adv, ret = np.zeros((rows, steps)), np.zeros((rows, steps))
    real = lambda b, t: m is None or _flag(m, b, t)  # noqa: E731
    for b in range(rows):
        boot = 0.0 if bootstrap is None else float(bootstrap[b])
        g, chain = 0.0, boot
        for t in range(steps - 1, -1, -1):
            zeroed = mask_mode == "zero" and not real(b, t)
            if not real(b, t) and not zeroed:
                if mask_mode == "cut":
                    g = 0.0
                elif mask_mode == "carry":
                    adv[b, t], ret[b, t] = g, g + float(v[b, t])
                continue
            done = (_flag(d, b, t) or (t + 1 < steps and _flag(st, b, t + 1))
                    or (t == steps - 1 and _flag(last_dones, b)))
            cut = _flag(tr, b, t)
            if nv is not None:
                nxt = float(nv[b, t])
            elif mask_mode in ("skip", "carry"):
                nxt = chain
            elif t + 1 < steps and not real(b, t + 1):
                nxt = 0.0 if mask_mode == "zero" else boot
            else:
                nxt = float(v[b, t + 1]) if t + 1 < steps else boot
            if cut and fv is not None:
                nxt = float(fv[b, t])
            if done:
                nxt = 0.0
            rt, vt = (0.0, 0.0) if zeroed else (float(r[b, t]), float(v[b, t]))
            delta = (gamma * nxt + rt) - vt
            g = c * (0.0 if done or cut else g) + delta
            adv[b, t], ret[b, t] = g, g + vt
            chain = float(v[b, t])
    return turn(adv).astype(dtype), turn(ret).astype(dtype)


def standardised_group(a, ddof=0, epsilon=1e-8, floor=1e-8):
    n = len(a)
    if n < 2:
        return list(a)
    mu = total(a) / n
    sigma = math.sqrt(div(total([(e - mu) * (e - mu) for e in a]), float(n - ddof)))
    return [(e - mu) / (sigma + epsilon) for e in a] if sigma > floor else list(a)


def group_baseline_row(x, baseline):
    if baseline != "leave_one_out":
        return group_row(x, baseline, False)
    if len(x) == 1:
        return [x[0] - x[0]]  # a lone member is its own baseline
    s = total(x)
    return [e - (s - e) / (len(x) - 1) for e in x]


def compute_grpo_advantages_ragged(rewards, group_lengths=None, baseline_type="mean", scale="group", *, group_ids=None,
                                   std_ddof=0, epsilon=1e-8, std_floor=1e-8):
    """Groups by label (group_lengths: consecutive groups), members in input order; batch statistics in input
    order. None where a result is left undefined (the median of more than 20 values holding NaN)."""
    x = [float(e) for e in rewards]
    if group_ids is None:
        group_ids = np.repeat(np.arange(len(group_lengths)), group_lengths)
    groups, out = {}, [0.0] * len(x)
    for j, label in enumerate(group_ids):
        groups.setdefault(int(label), []).append(j)
    for label in sorted(groups):
        a = group_baseline_row([x[j] for j in groups[label]], baseline_type)
        if None in a:
            return None
        if scale == "group":
            a = standardised_group(a, std_ddof, epsilon, std_floor)
        for j, e in zip(groups[label], a):
            out[j] = e
    if scale == "batch":
        out = standardised_group(out, std_ddof, epsilon, std_floor)
    return np.array(out).astype(result_dtype(rewards))


def compute_grpo_advantages(rewards, baseline_type="mean", scale="group", **statistics):
    rows, members = np.shape(rewards)
    out = compute_grpo_advantages_ragged(np.ravel(rewards), [members] * rows, baseline_type, scale, **statistics)
    return None if out is None else out.reshape(rows, members)


def _kept(mask, b, t):
    return mask is None or _flag(mask, b, t)


def _blocked_sum(values, mask, term, block=2048):
    """The documented order: blocks of `block` columns per row, eight accumulators (j mod 8) per block."""
    rows, columns = values.shape
    total, count = 0.0, 0
    for b in range(rows):
        for start in range(0, columns, block):
            acc = [0.0] * 8
            for j in range(start, min(start + block, columns)):
                if _kept(mask, b, j):
                    acc[(j - start) % 8] += term(float(values[b, j]))
                    count += 1
            total += ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]))
    return total, count


def compute_masked_whitening(values, mask=None, *, std_ddof=1, count_epsilon=1e-8, epsilon=1e-8, shift_mean=True,
                             unmasked="whitened", float32_counts=False):
    total, n = _blocked_sum(values, mask, lambda x: x)
    if std_ddof and n <= std_ddof:
        raise ValueError("too few")
    if float32_counts:
        f = np.float32
        divisor = float(f(f(n) + f(count_epsilon)))
        factor = float(f(n) / f(n - std_ddof)) if std_ddof else 1.0
    else:
        divisor, factor = n + count_epsilon, (n / (n - std_ddof) if std_ddof else 1.0)
    mean = total / divisor if divisor else math.nan
    squares, _ = _blocked_sum(values, mask, lambda x: (x - mean) * (x - mean))
    variance = (squares / divisor) * factor if std_ddof else squares / divisor if divisor else math.nan
    scale = 1.0 / math.sqrt(variance + epsilon) if variance + epsilon > 0 else math.nan
    out = np.zeros(values.shape)
    for (b, t), x in np.ndenumerate(values):
        w = (float(x) - mean) * scale
        if not shift_mean:
            w += mean
        if not _kept(mask, b, t) and unmasked != "whitened":
            w = 0.0 if unmasked == "zero" else w * 0.0
        out[b, t] = w
    return out.astype(values.dtype)


def compute_masked_returns(rewards, mask=None, gamma=0.99, *, mask_mode="cut"):
    """Discounted returns: the advantages of padded GAE with every value 0 and lambda 1."""
    zeros = np.zeros(np.shape(rewards), np.asarray(rewards).dtype)
    return compute_padded_gae(rewards, zeros, None, None, None, mask, gamma, 1.0, mask_mode=mask_mode)[0]


def broadcast_row_values(values, mask):
    out = np.zeros(mask.shape)
    for (b, t), _ in np.ndenumerate(out):
        out[b, t] = float(values[b]) if _flag(mask, b, t) else float(values[b]) * 0.0
    return out.astype(values.dtype)


EXP_TAYLOR = [1.0 / math.factorial(k) for k in range(13, -1, -1)]
SHIFTER = 1.5 * 2.0**52


def bounded_exp(x):
    """The kernels' exp: x = n ln2 + r (ln2 in two parts), Taylor to r^13 by Horner, times 2^n; NaN gives x + x."""
    if x != x:
        return x + x
    shifted = x * float.fromhex("0x1.71547652b82fep+0") + SHIFTER
    n = shifted - SHIFTER
    r = (x - n * float.fromhex("0x1.62e42fee00000p-1")) - n * float.fromhex("0x1.a39ef35793c76p-33")
    p = EXP_TAYLOR[0]
    for c in EXP_TAYLOR[1:]:
        p = p * r + c
    return p * 2.0 ** int(n)


def compute_kl_penalty(logprob, ref_logprob, estimator="k1", mask=None, *, rewards=None, beta=1.0):
    def clamp(x, low, high):
        return x if x != x else min(max(x, low), high)

    def kl(p, q):
        if estimator in ("k1", "kl"):
            return p - q
        if estimator == "abs":
            return abs(p - q)
        if estimator in ("k2", "mse"):
            return 0.5 * ((p - q) * (p - q))
        x = clamp(q - p, -20.0, 20.0)
        return clamp((bounded_exp(x) - x) - 1.0, -10.0, 10.0)

    out = np.zeros(logprob.shape)
    for (b, t), p in np.ndenumerate(logprob):
        k = kl(float(p), float(ref_logprob[b, t]))
        k = k if _kept(mask, b, t) else k * 0.0
        out[b, t] = k if rewards is None else float(rewards[b, t]) - beta * k
    return out.astype(result_dtype(logprob, ref_logprob, rewards))
