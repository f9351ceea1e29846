"""Linking single-period effects over time so that they add up to the active return of the
whole span, R_p - R_b, with R = prod(1 + r_t) - 1 for each side.

Every method here scales each period's effects by a coefficient of that period (the same
for every group and effect), so linked effects add up wherever the periods' effects do.
`path` links over the first 1, 2, ..., T periods at once: its row t is the linking of
periods 1..t, and its last row is the linking of the whole span.

Carino (Carino, "Combining attribution effects over time", Journal of Performance
Measurement, Summer 1999; Bacon 2008, chapter 8):
    k_t = (ln(1 + rp_t) - ln(1 + rb_t)) / (rp_t - rb_t)   (1 / (1 + rp_t) when equal)
    K   = (ln(1 + R_p) - ln(1 + R_b)) / (R_p - R_b)
    linked = sum_t e_t k_t / K
Menchero (Menchero, "An optimized approach to linking attribution effects over time",
Journal of Performance Measurement, Fall 2000; Bacon 2008, chapter 8):
    M   = ((R_p - R_b) / T) / ((1 + R_p)^(1/T) - (1 + R_b)^(1/T))   ((1 + R_p)^((T-1)/T) when equal)
    a_t = (R_p - R_b - M sum_s (rp_s - rb_s)) / sum_s (rp_s - rb_s)^2 * (rp_t - rb_t)
    linked = sum_t e_t (M + a_t)
GRAP (GRAP, "Synthese des modeles d'attribution de performance", 1997; Bacon 2008,
chapter 8):
    linked = sum_t e_t prod_{s<t} (1 + rp_s) prod_{s>t} (1 + rb_s)
Frongello (Frongello, "Linking single period attribution results", Journal of
Performance Measurement, Spring 2002):
    G_t = e_t prod_{s<t} (1 + rp_s) + rb_t sum_{s<t} G_s,   linked = sum_t G_t
Frongello's linked totals equal GRAP's (the recursion unrolls into GRAP's coefficients);
the two are computed independently here.
"""

import numpy as np

from .errors import AttributionError

METHODS = {"carino": "Carino", "menchero": "Menchero", "grap": "GRAP", "frongello": "Frongello"}


def path(effects, rp, rb, method="carino"):
    """Linked effects over periods 1..t for every t: an array shaped like `effects`
    (periods, groups), given each period's portfolio and benchmark returns rp, rb."""
    if method not in METHODS:
        raise ValueError("linking must be one of %s, not %r" % (", ".join(METHODS), method))
    effects = np.asarray(effects, dtype=float)
    rp, rb = np.asarray(rp, dtype=float), np.asarray(rb, dtype=float)
    if effects.ndim == 1:
        return path(effects[:, None], rp, rb, method)[:, 0]
    _check_returns(rp, rb)
    return _PATHS[method](effects, rp, rb)


def linked(effects, rp, rb, method="carino"):
    """Linked effects over the whole span: (groups,) for effects (periods, groups)."""
    effects = np.asarray(effects, dtype=float)
    if effects.shape[0] == 0:
        return np.zeros(effects.shape[1:])
    return path(effects, rp, rb, method)[-1]


def carino_factor(rp, rb):
    """Carino's k for returns rp, rb (arrays or numbers): ln((1 + rp) / (1 + rb)) over
    rp - rb, and 1 / (1 + rp) where they are equal."""
    rp, rb = np.asarray(rp, dtype=float), np.asarray(rb, dtype=float)
    diff = rp - rb
    same = diff == 0
    safe = np.where(same, 1.0, diff)
    # log1p of the relative difference keeps precision when rp and rb are close
    k = np.log1p(safe / (1.0 + rb)) / safe
    return np.where(same, 1.0 / (1.0 + rp), k)


def _check_returns(rp, rb):
    for side, r in (("portfolio", rp), ("benchmark", rb)):
        bad = np.flatnonzero(~(r > -1.0))
        if bad.size:
            raise AttributionError("the %s return of period %d is %r: linking needs every "
                                   "period's return above -100 %%" % (side, bad[0] + 1, r[bad[0]]))


def _compounded(r):
    return np.cumprod(1.0 + r) - 1.0


def _carino(effects, rp, rb):
    k = carino_factor(rp, rb)
    span_k = carino_factor(_compounded(rp), _compounded(rb))
    return np.cumsum(effects * k[:, None], axis=0) / span_k[:, None]


def _menchero(effects, rp, rb):
    n = np.arange(1, rp.size + 1, dtype=float)
    total_p, total_b = _compounded(rp), _compounded(rb)
    active = total_p - total_b
    # (1 + Rp)^(1/n) - (1 + Rb)^(1/n), written to keep precision when Rp is close to Rb
    root_b = np.log1p(total_b) / n
    gap = np.exp(root_b) * np.expm1(np.log1p(active / (1.0 + total_b)) / n)
    same = active == 0
    m = np.where(same, (1.0 + total_p) ** ((n - 1.0) / n),
                 (active / n) / np.where(same, 1.0, gap))
    d = rp - rb
    spread_sum, spread_squares = np.cumsum(d), np.cumsum(d * d)
    with np.errstate(divide="ignore", invalid="ignore"):
        alpha = np.where(spread_squares > 0, (active - m * spread_sum) / spread_squares, 0.0)
    return (m[:, None] * np.cumsum(effects, axis=0)
            + alpha[:, None] * np.cumsum(effects * d[:, None], axis=0))


def _grap(effects, rp, rb):
    # sum_{t<=T} e_t P_{t-1} B_T / B_t, with P and B the compounded growth of each side
    grown_p = np.concatenate([[1.0], np.cumprod(1.0 + rp)[:-1]])
    grown_b = np.cumprod(1.0 + rb)
    return grown_b[:, None] * np.cumsum(effects * (grown_p / grown_b)[:, None], axis=0)


def _frongello(effects, rp, rb):
    out = np.empty_like(effects)
    running = np.zeros(effects.shape[1])  # sum of G_s so far
    grown_p = 1.0
    for t in range(effects.shape[0]):
        running = running + effects[t] * grown_p + rb[t] * running
        out[t] = running
        grown_p *= 1.0 + rp[t]
    return out


_PATHS = {"carino": _carino, "menchero": _menchero, "grap": _grap, "frongello": _frongello}
