"""The demo's chart: cumulative returns from 0, one small panel per asset type beside the
portfolio's own, each panel on its own scale (matplotlib, an optional dependency)."""

from .errors import USAGE, UserError


def require_matplotlib():
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise UserError("--plot needs matplotlib, which is not installed: pip install matplotlib",
                        status=USAGE) from None


def draw(paths, target, title):
    """paths: dates x series of cumulative returns (fractions) starting at 0, the last
    column the portfolio. Writes a PNG to `target`."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.dates as mdates
    import matplotlib.pyplot as plt
    from matplotlib.ticker import PercentFormatter

    whole = paths.columns[-1]
    names = [whole] + list(paths.columns[:-1])
    cols = 4
    rows = (len(names) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(14, 3.2 * rows), sharex=True, squeeze=False)
    percent = paths * 100.0
    for ax, name in zip(axes.flat, names):
        if name != whole:
            ax.plot(percent.index, percent[whole], color="0.6", linewidth=1.0, linestyle="--",
                    label="portfolio")
        bold = name == whole
        ax.plot(percent.index, percent[name], color="black" if bold else "tab:blue",
                linewidth=2.6 if bold else 1.6, label=name)
        ax.axhline(0.0, color="0.8", linewidth=0.8)
        ax.set_title("%s  %+.2f %%" % (name, percent[name].iloc[-1]),
                     fontsize=11, fontweight="bold" if bold else "normal")
        ax.yaxis.set_major_formatter(PercentFormatter())
        ax.grid(alpha=0.3)
        ax.xaxis.set_major_locator(mdates.MonthLocator())
        ax.xaxis.set_major_formatter(mdates.DateFormatter("%b"))
        ax.tick_params(labelsize=9)
    for ax in list(axes.flat)[len(names):]:
        ax.set_visible(False)
    for ax in axes[-1]:
        ax.tick_params(labelbottom=True)
    axes[0][0].legend(["portfolio"], loc="upper left", fontsize=9)
    if len(names) > 1:
        axes[0][1].legend(loc="upper left", fontsize=8)
    fig.suptitle(title + "\n(each panel on its own scale; dashed: the portfolio)", fontsize=12)
    fig.tight_layout()
    try:
        fig.savefig(target, dpi=100)
    except (OSError, ValueError) as exc:
        raise UserError("cannot write %s: %s" % (target, exc)) from None
    finally:
        plt.close(fig)

