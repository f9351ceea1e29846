"""The attribution's chart (matplotlib, an optional dependency): the cumulative linked
effects and the active return over the span, and each asset type's linked effects."""

import io

import numpy as np

from .errors import USAGE, UserError

COLOURS = {"allocation": "tab:blue", "selection": "tab:orange", "interaction": "tab:green"}


def require_matplotlib():
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise UserError("--plot and --report need matplotlib, which is not installed: "
                        "pip install matplotlib", status=USAGE) from None


def attribution_chart(report, name):
    """PNG bytes: left, each effect linked from the first day up to each date (all groups)
    and the active return; right, each asset type's linked effects over the span."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.dates as mdates
    import matplotlib.pyplot as plt
    from matplotlib.ticker import MaxNLocator, PercentFormatter

    level = report.asset_types
    fig, (left, right) = plt.subplots(1, 2, figsize=(14, 5.6),
                                      gridspec_kw={"width_ratios": [1.9, 1.0]})
    dates = report.dates
    grown_p = np.cumprod(1.0 + report.portfolio.to_numpy())
    grown_b = np.cumprod(1.0 + report.benchmark.to_numpy())
    for effect, colour in COLOURS.items():
        left.plot(dates, 100.0 * level.cumulative[effect].sum(axis=1).to_numpy(), color=colour,
                  linewidth=1.6, label=effect)
    left.plot(dates, 100.0 * (grown_p - grown_b), color="black", linewidth=2.6,
              label="active return")
    left.axhline(0.0, color="0.75", linewidth=0.8)
    left.set_title("Cumulative linked effects and the active return, %+.2f %%"
                   % (100 * report.active_return), fontsize=11)
    left.yaxis.set_major_formatter(PercentFormatter())
    locator = mdates.AutoDateLocator(maxticks=8)
    left.xaxis.set_major_locator(locator)
    left.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
    left.grid(alpha=0.3)
    left.legend(loc="best", fontsize=9)

    table = level.table.drop(index="total")
    groups = list(table.index)[::-1]
    y = np.arange(len(groups))
    height = 0.26
    for k, (effect, colour) in enumerate(COLOURS.items()):
        right.barh(y + (1 - k) * height, 100.0 * table.loc[groups, effect].to_numpy(), height,
                   color=colour, label=effect)
    right.set_yticks(y)
    right.set_yticklabels(groups)
    right.axvline(0.0, color="0.5", linewidth=0.8)
    right.xaxis.set_major_locator(MaxNLocator(5))
    right.xaxis.set_major_formatter(PercentFormatter())
    right.set_title("Linked effects by asset type", fontsize=11)
    right.grid(axis="x", alpha=0.3)
    right.legend(loc="best", fontsize=8)
    o = report.options
    fig.suptitle("%s against %s, %s to %s (%s, %s linking)" % (
        name, o["benchmark"], dates[0].date(), dates[-1].date(),
        "Brinson-Fachler" if o["method"] == "bf" else "Brinson-Hood-Beebower",
        o["linking"].capitalize() if o["linking"] != "grap" else "GRAP"), fontsize=12)
    fig.tight_layout()
    buffer = io.BytesIO()
    try:
        fig.savefig(buffer, format="png", dpi=100)
    finally:
        plt.close(fig)
    return buffer.getvalue()
