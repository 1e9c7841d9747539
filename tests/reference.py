"""Slow pure-Python model of the nine kernels of quorvale_rl_core.

Every sum is one running total in index order from its documented start value,
minimum and maximum are IEEE minNum / maxNum (NaN ignored, -0.0 below +0.0), and
Python float arithmetic is plain IEEE double without fused multiply-add, so the
results must agree with the native module bit for bit.  Inputs are any iterables
of numbers; results are plain lists, floats, tuples and dicts.
"""
import math

INF, NAN = math.inf, math.nan


class Failure(Exception):
    """The module must raise its internal-failure exception with this message."""


class Undefined(Exception):
    """The outcome is left open (median of a group of more than 20 values holding NaN)."""


def floats(xs):
    return [float(x) for x in xs]


def min_num(a, b):
    if a != a:
        return b
    if b != b or a < b:
        return a
    if b < a:
        return b
    return a if math.copysign(1.0, a) < 0 else b


def max_num(a, b):
    if a != a:
        return b
    if b != b or a > b:
        return a
    if b > a:
        return b
    return b if math.copysign(1.0, a) < 0 else a


def div(a, b):
    # Python raises on division by zero; the kernels get the IEEE result.
    if b == 0.0:
        if a != a or a == 0.0:
            return NAN
        return math.copysign(INF, math.copysign(1.0, a) * math.copysign(1.0, b))
    return a / b


def sqrt(x):
    return NAN if x < 0 else math.sqrt(x)


def exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return INF


def running_sum(xs):
    s = -0.0
    for x in xs:
        s = s + x
    return s


def fmt(x):
    """Number format of failure messages: NaN, inf, positional or short exponent form."""
    if x != x:
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    text = repr(x)
    if x == 0.0 or 1e-4 <= abs(x) < 1e16:
        return text
    mantissa, _, exponent = text.partition("e")
    return f"{mantissa}e{int(exponent)}"


def clamp_failure(lo, hi):
    return Failure(f"min > max, or either was NaN. min = {fmt(lo)}, max = {fmt(hi)}")


# ---------------------------------------------------------------- advantages

def gae(rewards, values, gamma=0.99, gae_lambda=0.95):
    # GAE runs backward so each step reuses the next step's advantage.
    r, v = floats(rewards), floats(values)
    n, m = len(r), len(v)
    c = gamma * gae_lambda
    g, out = 0.0, [0.0] * n
    for t in range(n - 1, -1, -1):
        nxt = v[t + 1] if t + 1 < m else 0.0
        cur = v[t] if t < m else 0.0
        g = c * g + ((gamma * nxt + r[t]) - cur)
        out[t] = g
    return out


def batch_gae(all_rewards, all_values, gamma=0.99, gae_lambda=0.95):
    return [gae(r, v, gamma, gae_lambda) for r, v in zip(all_rewards, all_values)]


def median_sorted(s):
    h = len(s) // 2
    return s[h] if len(s) % 2 else (s[h - 1] + s[h]) * 0.5


def group_median(x):
    if len(x) > 20:
        if any(e != e for e in x):
            raise Undefined
        return median_sorted(sorted(x))  # stable, by <
    s = list(x)
    for k in range(1, len(s)):  # straight insertion, moving left past strictly greater values
        val, j = s[k], k
        while j > 0 and val < s[j - 1]:
            s[j] = s[j - 1]
            j -= 1
        s[j] = val
    return median_sorted(s)


def group_row(row, baseline_type, normalize):
    x = floats(row)
    n = len(x)
    if n == 0:
        return []
    if baseline_type == "median":
        b = group_median(x)
    elif baseline_type == "min":
        b = INF
        for e in x:
            b = min_num(b, e)
    else:
        b = running_sum(x) / float(n)
    a = [e - b for e in x]
    if normalize and n >= 2:
        mu = running_sum(a) / float(n)
        sigma = math.sqrt(running_sum([(e - mu) * (e - mu) for e in a]) / float(n))
        if sigma > 1e-8:
            a = [(e - mu) / (sigma + 1e-8) for e in a]
    return a


def group_advantages(matrix, baseline_type, normalize):
    """One list per group; None for a group whose outcome is left open."""
    out = []
    for row in matrix:
        try:
            out.append(group_row(row, baseline_type, normalize))
        except Undefined:
            out.append(None)
    return out


# ---------------------------------------------------------------- rewards

def normalize_rewards(rewards, running_mean=0.0, running_var=1.0, count=0, epsilon=1e-8):
    x = floats(rewards)
    n, mean, var, count = len(x), float(running_mean), float(running_var), int(count)
    if n == 0:
        return [], mean, var, count
    total = count + n
    if total >= 2 ** 63:
        raise OverflowError("count + len(rewards) does not fit in a signed 64-bit integer")
    m2, k = var * float(count), count + 1
    for e in x:  # Welford fold
        d = e - mean
        mean = mean + div(d, float(k))
        m2 = m2 + d * (e - mean)
        k += 1
    var_out = m2 / float(total) if total >= 2 else 0.0
    s = sqrt(float(epsilon) + var_out)
    return [div(e - mean, s) for e in x], mean, var_out, total


def clip_rewards(rewards, min_val, max_val):
    x, lo, hi = floats(rewards), float(min_val), float(max_val)
    if not x:
        return []
    if not lo <= hi:
        raise clamp_failure(lo, hi)
    out = []
    for e in x:
        if e < lo:
            e = lo
        if e > hi:
            e = hi
        out.append(e)
    return out


def reward_statistics(rewards):
    x = floats(rewards)
    n = len(x)
    if n == 0:
        return dict(mean=0.0, std=0.0, min=0.0, max=0.0, median=0.0)
    mean = running_sum(x) / float(n)
    std = sqrt(running_sum([(e - mean) * (e - mean) for e in x]) / float(n))
    lo, hi = INF, -INF
    for e in x:
        lo, hi = min_num(lo, e), max_num(hi, e)
    if n == 1:
        med = x[0]
    elif any(e != e for e in x):
        raise Failure("called `Option::unwrap()` on a `None` value")
    else:
        med = median_sorted(sorted(x))
    return dict(mean=mean, std=std, min=lo, max=hi, median=med, count=float(n))


# ---------------------------------------------------------------- policy objectives

def gspo_ratios(log_probs_new, log_probs_old, sequence_lengths):
    return [1.0 if int(n) < 1 else exp((a - b) / float(int(n)))
            for a, b, n in zip(floats(log_probs_new), floats(log_probs_old), sequence_lengths)]


def gspo_clipping(ratios, advantages, clip_left=0.0003, clip_right=0.0004):
    out = []
    for r, a in zip(floats(ratios), floats(advantages)):
        c = min_num(r, clip_right + 1.0) if a >= 0.0 else max_num(r, 1.0 - clip_left)
        out.append(min_num(r * a, a * c))
    return out


def ppo_surrogate(ratios, advantages, clip_epsilon=0.2):
    pairs = list(zip(floats(ratios), floats(advantages)))
    if not pairs:
        return []
    lo, hi = 1.0 - clip_epsilon, clip_epsilon + 1.0
    if not lo <= hi:
        raise clamp_failure(lo, hi)
    out = []
    for r, a in pairs:
        c = r
        if c < lo:
            c = lo
        if c > hi:
            c = hi
        out.append(min_num(a * r, a * c))
    return out
