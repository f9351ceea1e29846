"""The demo: a sample multi-asset portfolio run against its benchmark as the attribution
engine would, with a Brinson-Fachler attribution of the stock sleeve by Shenwan industry."""

import os

import pandas as pd

from . import data, portfolio
from .errors import UserError

# A portfolio of the sample market: (order_book_id, weight). The stock sleeve holds
# constituents of the benchmark in nine Shenwan industries plus one stock outside it.
DEMO_HOLDINGS = (
    ("600100.XSHG", 0.040),  # pays cash dividends
    ("300310.XSHE", 0.025),
    ("300142.XSHE", 0.030),  # split 2-for-1
    ("600352.XSHG", 0.025),
    ("600156.XSHG", 0.035),  # reclassified by both standards
    ("300254.XSHE", 0.030),
    ("000247.XSHE", 0.030),  # reclassified by Shenwan
    ("000303.XSHE", 0.025),
    ("688513.XSHG", 0.020),  # not in the benchmark
    ("000107.XSHE", 0.040),
    ("688317.XSHG", 0.025),
    ("600296.XSHG", 0.035),
    ("688177.XSHG", 0.030),
    ("000387.XSHE", 0.025),
    ("600380.XSHG", 0.035),
    ("510060.XSHG", 0.080),  # ETF on the benchmark
    ("161005.XSHE", 0.040),  # LOF
    ("SX2603", 0.030),       # index future
    ("10008001", 0.020),     # ETF call option
    ("019727.XSHG", 0.100),  # exchange twin of an interbank treasury
    ("2380101.NIB", 0.060),  # amortising corporate bond
    ("2480055.NIB", 0.050),
    ("970101", 0.060),       # money-market fund
    ("970201", 0.050),       # net-value fund
    ("CNY", 0.060),
)
DEMO_SPAN = ("2025-07-01", "2025-12-31")
DEMO_BENCHMARK = "000060.XSHG"
STANDARD = "sws"


def run(args, out):
    if args.plot:
        from .chart import require_matplotlib
        require_matplotlib()
    ids = [h[0] for h in DEMO_HOLDINGS]
    weights = pd.Series(dict(DEMO_HOLDINGS))
    try:
        types = data.classify(ids)
    except UserError as exc:
        raise UserError("%s; the demo runs on the bundled sample (unset %s)" % (exc, data.DB_ENV))
    tolvik = data.module("tolvik")
    start, end = (pd.Timestamp(d) for d in DEMO_SPAN)
    dates = pd.DatetimeIndex(tolvik.get_exchange_trading_dates(start.date(), end.date()), name="date")
    if dates.empty:
        raise UserError("no exchange trading dates from %s to %s" % DEMO_SPAN)
    before = pd.Timestamp(tolvik.get_exchange_previous_trading_date(dates[0]))
    returns, missing = data.daily_returns(types, dates)
    if missing:
        raise UserError("no data for %s; the demo runs on the bundled sample (unset %s)"
                        % (", ".join(missing), data.DB_ENV))
    last = dates[-1]

    out.line("brelvox-marketdata demo: %d holdings over %d trading dates from %s to %s"
             % (len(ids), len(dates), dates[0].date(), last.date()))
    found = getattr(data.client(), "local", None)
    if found is not None:
        out.line("data: %s" % found.database_path())

    tables = {}
    by_holding = _by_date_table(returns, types)
    by_holding.insert(1, "weight", weights.reindex(by_holding.index))
    tables["holding_returns"] = by_holding
    out.table("Daily returns by holding, last 10 dates, and cumulative over the span (%)",
              by_holding, shown=_last_dates(by_holding))

    groups = {oid: types[oid] for oid in ids}
    type_returns = portfolio.by_group(returns, weights, groups)
    type_returns["portfolio"] = portfolio.weighted(returns, weights)
    type_returns.columns.name = "asset_type"
    by_type = _by_date_table(type_returns, {})
    by_type = by_type.drop(columns="asset_type")
    by_type.insert(0, "weight", [weights[[o for o in ids if types[o] == c]].sum()
                                 for c in type_returns.columns[:-1]] + [weights.sum()])
    chinese = data.module("const").AssetType.chinese
    by_type.insert(0, "name", [chinese(c) if c != "portfolio" else "组合" for c in by_type.index])
    tables["asset_type_returns"] = by_type
    out.table("Daily returns by asset type (holdings weighted within the type), "
              "last 10 dates, and cumulative (%)", by_type, shown=_last_dates(by_type))

    stocks = [oid for oid in ids if types[oid] == "stock"]
    industries = pd.DataFrame({
        "symbol": data.symbols(stocks),
        "sws": data.industry_names(stocks, dates[-1:], "sws").iloc[-1].to_numpy(),
        "citics": data.industry_names(stocks, dates[-1:], "citics").iloc[-1].to_numpy(),
    }, index=pd.Index(stocks, name="order_book_id"))
    tables["stock_industries"] = industries
    out.table("Industry of the stock holdings on %s (Shenwan, CITIC)" % last.date(), industries)

    pelmar = data.module("pelmar")
    bench_weights = pelmar.get_stock_index_weight(DEMO_BENCHMARK, dates.insert(0, before))
    top = bench_weights.iloc[-1].sort_values(ascending=False).head(10)
    top_frame = pd.DataFrame({"symbol": data.symbols(top.index), "weight": top.to_numpy()},
                             index=pd.Index(top.index, name="order_book_id"))
    tables["benchmark_weights"] = top_frame
    out.table("Benchmark %s: ten largest weights on %s (%%; its %d weights sum to %.2f)"
              % (DEMO_BENCHMARK, last.date(), bench_weights.shape[1],
                 100.0 * bench_weights.iloc[-1].sum()), top_frame)

    result = attribute(stocks, weights[stocks], bench_weights, dates)
    table = result.linked.copy()
    table.index.name = "industry"
    tables["attribution"] = table
    out.table("Stock sleeve against %s: Brinson-Fachler attribution by Shenwan industry, "
              "%s to %s, Carino-linked (%%)" % (DEMO_BENCHMARK, dates[0].date(), last.date()),
              table, shown=table)
    out.line("sleeve %.3f %%, benchmark %.3f %%, active %.3f %% = allocation %.3f + "
             "selection %.3f + interaction %.3f" % (
                 100 * result.portfolio_return, 100 * result.benchmark_return,
                 100 * result.active, *(100 * table.loc["total", e] for e in portfolio.EFFECTS)))

    curve = data.module("caldre").get_treasury_bond_yield(dates).iloc[[-1]]
    curve.columns = ["%gY" % t for t in curve.columns]
    curve.index.name = "date"
    tables["treasury_curve"] = curve
    out.table("ChinaBond treasury yield curve on %s (%%, by tenor in years)" % last.date(),
              curve, percent=False, digits=4, shown=curve)

    if args.csv:
        from .render import write_csv
        for name, frame in tables.items():
            path = os.path.join(args.csv, name + ".csv")
            write_csv(frame, path)
            out.wrote(path)
    if args.plot:
        from .chart import draw
        draw(portfolio.growth(type_returns, before), args.plot,
             "Sample portfolio: cumulative return by asset type, %s to %s"
             % (dates[0].date(), last.date()))
        out.wrote(args.plot, "cumulative returns chart")
    return 0


def attribute(stocks, stock_weights, bench_weights, dates):
    """The stock sleeve's attribution against the benchmark's constituents on `dates`:
    weights at the start of each day (the benchmark's of the previous date), the stocks'
    daily returns and each stock's Shenwan industry on the day."""
    constituents = list(bench_weights.columns)
    universe = list(dict.fromkeys(stocks + constituents))
    types = {oid: "stock" for oid in universe}
    returns, _ = data.daily_returns(types, dates, blank=False)
    start_weights = bench_weights.shift(1).iloc[1:].reindex(dates)
    held = pd.DataFrame([stock_weights.to_numpy()] * len(dates), index=dates, columns=stocks)
    groups = data.industry_names(universe, dates, STANDARD)
    return portfolio.brinson_fachler(held, start_weights, returns, groups)


def _by_date_table(returns, types):
    """Rows per column of `returns`: its asset type, every date's return and the
    cumulative over the span."""
    table = returns.T.copy()
    table.columns = returns.index.strftime("%Y-%m-%d")
    table.insert(0, "asset_type", [types.get(c, "") for c in returns.columns])
    table["cumulative"] = portfolio.cumulative(returns)
    table.index.name = returns.columns.name
    table.columns.name = None
    return table


def _last_dates(table, n=10):
    """The table with only the last `n` date columns, for the screen."""
    dates = [c for c in table.columns if c[:2] == "20" and c[4:5] == "-"]
    return table.drop(columns=dates[:-n])
