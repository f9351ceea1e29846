"""Single-period Brinson effects by group, on arrays with one row per period.

For one period and group i: wp_i and wb_i are the start-of-period weights of the portfolio
and of the benchmark in the group, cp_i and cb_i their contributions (the sums of weight
times return of the group's holdings), rp_i = cp_i / wp_i and rb_i = cb_i / wb_i the
group's returns, R_b the benchmark's return.

Brinson-Fachler (Brinson and Fachler, "Measuring non-US equity portfolio performance",
Journal of Portfolio Management, 1985; Bacon, *Practical Portfolio Performance Measurement
and Attribution*, 2nd ed. 2008, chapter 5)::

    allocation   (wp_i - wb_i)(rb_i - R_b)
    selection    wb_i (rp_i - rb_i)
    interaction  (wp_i - wb_i)(rp_i - rb_i)

Brinson-Hood-Beebower (Brinson, Hood and Beebower, "Determinants of portfolio
performance", Financial Analysts Journal, 1986; Bacon 2008, chapter 5)::

    allocation   (wp_i - wb_i) rb_i
    selection    wb_i (rp_i - rb_i)
    interaction  (wp_i - wb_i)(rp_i - rb_i)

Over the groups both sum to R_p - R_b when each side's weights sum to 1.

Nested groups (a second level inside one class s of the first): the class's groups j are
compared with a notional class that holds the benchmark's mix of the class at the
portfolio's class weight, nb_j = Wp_s wb_j / Wb_s, and R_b becomes the benchmark's class
return rb_s. The class's effects then sum to Wp_s (rp_s - rb_s): the class's selection plus
interaction at the first level. The first level is the same formula with the whole
portfolio as the class (nb_j = wb_j).

Conventions for groups one side does not hold:
- the benchmark holds none: rb_i is the parent's benchmark return (R_b at the first
  level), so under Brinson-Fachler its allocation and selection are 0 and its effect is all
  interaction, wp_i (rp_i - R_b);
- the portfolio holds none: rp_i = rb_i, so its effect is all allocation;
- a net portfolio weight of (nearly) zero with a contribution (a long and a short that
  cancel): rp_i = rb_i and the contribution left over is selection.
Short positions are negative weights; a group's return is its contribution over its net
weight, whatever the sign.
"""

import numpy as np

EFFECTS = ("allocation", "selection", "interaction")
METHODS = {"bf": "Brinson-Fachler", "bhb": "Brinson-Hood-Beebower"}
# A net portfolio weight below this (in fractions of the portfolio) has no return of its own.
ZERO_WEIGHT = 1e-9


def group_sums(values, codes, n_groups):
    """(periods, groups) sums of `values` (periods, items) by group: `codes` holds each
    item's group, as one row (items,) or per period (periods, items); -1 is no group."""
    values = np.asarray(values, dtype=float)
    codes = np.asarray(codes)
    periods = values.shape[0]
    if codes.ndim == 1:
        member = np.zeros((codes.size, n_groups))
        kept = np.flatnonzero(codes >= 0)
        member[kept, codes[kept]] = 1.0
        return values @ member
    cells = codes >= 0
    flat = (codes + (np.arange(periods) * n_groups)[:, None])[cells]
    return np.bincount(flat, weights=values[cells], minlength=periods * n_groups).reshape(
        periods, n_groups)


def effects(wp, wb, cp, cb, parent, method="bf"):
    """The effects of each period and group: {effect: (periods, groups) array}.

    wp, wb, cp, cb: (periods, groups) weights and contributions of each side per group.
    parent: (Wp, Wb, rb), each (periods,): the portfolio's and the benchmark's weight in the
    class these groups divide and the benchmark's return in it (for the first level: the
    sums of the weights and the benchmark's return).
    """
    if method not in METHODS:
        raise ValueError("method must be one of %s, not %r" % (", ".join(METHODS), method))
    wp, wb, cp, cb = (np.asarray(a, dtype=float) for a in (wp, wb, cp, cb))
    class_wp, class_wb, class_rb = (np.asarray(a, dtype=float)[:, None] for a in parent)
    with np.errstate(divide="ignore", invalid="ignore"):
        scale = np.where(class_wb != 0, class_wp / class_wb, 0.0)
        rb = np.where(wb != 0, cb / wb, class_rb)
        held = np.abs(wp) > ZERO_WEIGHT
        rp = np.where(held, cp / np.where(held, wp, 1.0), rb)
    notional = wb * scale
    # what a zero net weight contributed (a long and a short that cancel)
    leftover = np.where(held, 0.0, cp - wp * rp)
    over = wp - notional
    spread = rp - rb
    allocation = over * (rb - class_rb) if method == "bf" else over * rb
    return {"allocation": allocation,
            "selection": notional * spread + leftover,
            "interaction": over * spread}


def class_return(weight, contribution, fallback):
    """A class's return per period: contribution over weight, `fallback` where the
    weight is 0."""
    weight = np.asarray(weight, dtype=float)
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(weight != 0, np.asarray(contribution, dtype=float) / weight, fallback)
