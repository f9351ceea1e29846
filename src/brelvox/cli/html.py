"""The attribution as one self-contained HTML page: the tables and the chart embedded, so
that it can be mailed as it is."""

import base64
import datetime
import html
import math

from .chart import attribution_chart
from .render import replacing

STYLE = """
body { font-family: "Noto Sans CJK SC", "PingFang SC", "Microsoft YaHei", Helvetica, Arial,
       sans-serif; margin: 2em auto; max-width: 1150px; color: #222; }
h1 { font-size: 1.45em; margin-bottom: 0.2em; }
h2 { font-size: 1.1em; margin-top: 1.8em; border-bottom: 1px solid #ccc; }
p.meta { color: #555; margin-top: 0; }
table { border-collapse: collapse; margin: 0.6em 0; font-size: 0.92em; }
th, td { padding: 3px 10px; text-align: right; border-bottom: 1px solid #eee; }
th:first-child, td:first-child { text-align: left; }
thead th { border-bottom: 2px solid #999; }
tr.total td { font-weight: bold; border-top: 2px solid #999; }
td.neg { color: #b22; }
img { max-width: 100%; }
p.note { color: #555; font-size: 0.9em; }
"""
HEADERS = {"allocation": "allocation", "selection": "selection", "interaction": "interaction",
           "total": "total", "portfolio_weight": "weight (portfolio)",
           "benchmark_weight": "weight (benchmark)", "portfolio_return": "return (portfolio)",
           "benchmark_return": "return (benchmark)", "share": "share",
           "built_return": "built from constituents", "index_return": "index's own",
           "gap": "gap"}


def page(report, name):
    """The HTML text of the report's page."""
    o = report.options
    chart = base64.b64encode(attribution_chart(report, name)).decode("ascii")
    method = "Brinson-Fachler" if o["method"] == "bf" else "Brinson-Hood-Beebower"
    linking = {"carino": "Carino", "menchero": "Menchero", "grap": "GRAP",
               "frongello": "Frongello"}[o["linking"]]
    standard = "Shenwan" if o["standard"] == "sws" else "CITIC"
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        "<title>Attribution of %s</title>" % _e(name),
        "<style>%s</style></head><body>" % STYLE,
        "<h1>Attribution of %s against %s</h1>" % (_e(name), _e(o["benchmark"])),
        '<p class="meta">%s to %s, %d trading dates; %s effects each day, %s-linked; weights '
        "%s; industries %s; cash at %s a year. Written %s by brelvox-marketdata.</p>" % (
            report.dates[0].date(), report.dates[-1].date(), len(report.dates), method,
            linking, "rebalanced daily" if o["rebalance"] == "daily" else "drifting with returns",
            standard, _percent(o["cash_rate"]), datetime.date.today()),
        "<h2>Returns over the span</h2>",
        _table([("portfolio", report.portfolio_return), ("benchmark", report.benchmark_return),
                ("active", report.active_return)], ["", "return"], total_last=True),
        '<p><img alt="cumulative linked effects" src="data:image/png;base64,%s"></p>' % chart,
    ]
    if len(report.reconciliation):
        rec = report.reconciliation
        parts += ["<h2>The benchmark's indexes</h2>",
                  '<p class="note">Each index\'s return over the span built from its '
                  "constituents' start-of-day weights and daily returns, beside its own return "
                  "from its closes.</p>",
                  _frame(rec, "index")]
    for key, title in (("asset_type", "Level 1: asset types"),
                       ("industry", "Level 2: %s industries inside the stock class" % standard)):
        parts += ["<h2>%s</h2>" % title, _frame(report.levels[key].table, "group", total=True)]
    parts += ['<p class="note">Effects are linked over the span and add up to the active '
              "return; the industries' effects add up to the stock class's selection plus "
              "interaction. Weights are averages of the start-of-day weights; returns are "
              "compounded over the days a side holds the group.</p>"]
    if report.notes:
        parts += ["<h2>Notes</h2>", "<ul>%s</ul>" % "".join("<li>%s</li>" % _e(n)
                                                          for n in report.notes)]
    parts.append("</body></html>")
    return "\n".join(parts) + "\n"


def write_page(report, name, path):
    with replacing(path) as f:
        f.write(page(report, name))


def _e(text):
    return html.escape(str(text))


def _percent(value):
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return ""
    return "%.3f %%" % (round(100.0 * value, 3) + 0.0)  # + 0.0: no "-0.000"


def _cell(value):
    if isinstance(value, float):
        cls = ' class="neg"' if round(100.0 * value, 3) < 0 else ""
        return "<td%s>%s</td>" % (cls, _percent(value))
    return "<td>%s</td>" % _e(value)


def _table(rows, headers, total_last=False):
    head = "<thead><tr>%s</tr></thead>" % "".join("<th>%s</th>" % _e(h) for h in headers)
    body = []
    for k, row in enumerate(rows):
        cls = ' class="total"' if total_last and k == len(rows) - 1 else ""
        body.append("<tr%s>%s</tr>" % (cls, "".join(_cell(v) for v in row)))
    return "<table>%s<tbody>%s</tbody></table>" % (head, "".join(body))


def _frame(frame, label, total=False):
    headers = [label] + [HEADERS.get(c, c) for c in frame.columns]
    rows = [[index] + [float(v) for v in row] for index, row in zip(frame.index,
                                                                    frame.to_numpy())]
    return _table(rows, headers, total_last=total)
