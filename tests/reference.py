"""Slow pure-Python model of the nine kernels, bit for bit.

Sums are single running totals in index order from their start value, min / max are
IEEE minNum / maxNum (NaN ignored, -0.0 below +0.0), and Python float arithmetic is
plain IEEE double without fused multiply-add. Results are lists, floats, tuples, dicts.
"""
import math

INF, NAN = math.inf, math.nan


class Failure(Exception):
    """The module must raise its internal-failure exception with this message."""


class Undefined(Exception):
    """Outcome left open: the median of more than 20 values holding NaN."""


def floats(xs):
    return [float(x) for x in xs]


def min_num(a, b):
    if a != a or b < a or (a == b and math.copysign(1.0, b) < 0):
        return b
    return a


def max_num(a, b):
    if a != a or b > a or (a == b and math.copysign(1.0, a) < 0):
        return b
    return a


def div(a, b):  # IEEE division; Python raises on a zero divisor
    if b != 0.0:
        return a / b
    if a != a or a == 0.0:
        return NAN
    return math.copysign(INF, math.copysign(1.0, a) * math.copysign(1.0, b))


def running_sum(xs):
    s = -0.0
    for x in xs:
        s = s + x
    return s


def clamp(x, lo, hi):  # NaN passes both comparisons unchanged
    x = lo if x < lo else x
    return hi if x > hi else x


def fmt(x):
    """Number format of failure messages."""
    if x != x:
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    if x == 0.0 or 1e-4 <= abs(x) < 1e16:
        return repr(x)
    mantissa, _, exponent = repr(x).partition("e")
    return f"{mantissa}e{int(exponent)}"


def bounds_failure(lo, hi):
    return Failure(f"min > max, or either was NaN. min = {fmt(lo)}, max = {fmt(hi)}")


def gae(rewards, values, gamma=0.99, gae_lambda=0.95):
    # GAE runs backward so each step reuses the next step's advantage.
    r, v = floats(rewards), floats(values)
    c, g, out = gamma * gae_lambda, 0.0, [0.0] * len(r)
    for t in range(len(r) - 1, -1, -1):
        nxt = v[t + 1] if t + 1 < len(v) else 0.0
        cur = v[t] if t < len(v) else 0.0
        g = c * g + ((gamma * nxt + r[t]) - cur)
        out[t] = g
    return out


def median_of_sorted(s):
    h = len(s) // 2
    return s[h] if len(s) % 2 else (s[h - 1] + s[h]) * 0.5


def group_median(x):
    if len(x) > 20:
        if any(e != e for e in x):
            raise Undefined
        return median_of_sorted(sorted(x))  # stable, by <
    s = list(x)
    for k in range(1, len(s)):  # straight insertion: move left past strictly greater values
        val, j = s[k], k
        while j > 0 and val < s[j - 1]:
            s[j], j = s[j - 1], j - 1
        s[j] = val
    return median_of_sorted(s)


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
        b = running_sum(x) / n
    a = [e - b for e in x]
    if normalize and n >= 2:
        mu = running_sum(a) / n
        sigma = math.sqrt(running_sum([(e - mu) * (e - mu) for e in a]) / n)
        if sigma > 1e-8:
            a = [(e - mu) / (sigma + 1e-8) for e in a]
    return a


def normalize_rewards(rewards, running_mean=0.0, running_var=1.0, count=0, epsilon=1e-8):
    x, mean, var, count = floats(rewards), float(running_mean), float(running_var), int(count)
    if not x:
        return [], mean, var, count
    total = count + len(x)
    if total >= 2 ** 63:
        raise OverflowError("count + len(rewards) does not fit in a signed 64-bit integer")
    m2, k = var * float(count), count + 1
    for e in x:  # Welford fold
        d = e - mean
        mean = mean + div(d, float(k))
        m2, k = m2 + d * (e - mean), k + 1
    var_out = m2 / float(total) if total >= 2 else 0.0
    s = float(epsilon) + var_out
    s = NAN if s < 0 else math.sqrt(s)
    return [div(e - mean, s) for e in x], mean, var_out, total


def clip_rewards(rewards, min_val, max_val):
    x, lo, hi = floats(rewards), float(min_val), float(max_val)
    if x and not lo <= hi:
        raise bounds_failure(lo, hi)
    return [clamp(e, lo, hi) for e in x]


def reward_statistics(rewards):
    x = floats(rewards)
    n = len(x)
    if n == 0:
        return dict(mean=0.0, std=0.0, min=0.0, max=0.0, median=0.0)
    mean = running_sum(x) / n
    std = math.sqrt(running_sum([(e - mean) * (e - mean) for e in x]) / n)
    lo, hi = INF, -INF
    for e in x:
        lo, hi = min_num(lo, e), max_num(hi, e)
    if n > 1 and any(e != e for e in x):
        raise Failure("called `Option::unwrap()` on a `None` value")
    med = x[0] if n == 1 else median_of_sorted(sorted(x))
    return dict(mean=mean, std=std, min=lo, max=hi, median=med, count=float(n))


def exp(x):
    try:
        return math.exp(x)
    except OverflowError:
        return INF


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
    lo, hi = 1.0 - clip_epsilon, clip_epsilon + 1.0
    if pairs and not lo <= hi:
        raise bounds_failure(lo, hi)
    return [min_num(a * r, a * clamp(r, lo, hi)) for r, a in pairs]
