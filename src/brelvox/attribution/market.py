"""What the attribution reads of the market, through the package's data modules: trading
dates, asset types, daily returns routed by asset type, industries, index weights and closes,
and the prices that value a quantity. The modules talk to whatever client they are bound to
(their `ondrax`, looked up at each call)."""

import datetime
import importlib
import importlib.util

import numpy as np
import pandas as pd

from .errors import AttributionError

# Asset type code -> daily-return function of brelvox.marketdata.quenta.
RETURN_FUNCTIONS = {
    "stock": "get_equity_daily_returns",
    "fund": "get_equity_daily_returns",
    "index": "get_equity_daily_returns",
    "convertible": "get_equity_daily_returns",
    "futures": "get_future_daily_returns",
    "option": "get_option_daily_returns",
    "bond": "get_bond_daily_returns",
    "public_fund": "get_public_fund_daily_returns",
    "cash": "get_cash_daily_returns",
}
PRICED_AS_EQUITY = ("stock", "fund", "index", "option", "convertible")
# How far back a quantity's price is looked for (a suspended stock keeps its last close).
PRICE_LOOKBACK = pd.Timedelta(days=400)
DAYS_PER_YEAR = 365.0


class DataUnavailable(AttributionError):
    """A data module cannot be imported (no data client, or not built)."""


NO_CLIENT = ("no data client: nothing named %s can be imported; install the local one that "
             "comes with brelvox (pip install ./clients/local, from the source tree) or put "
             "your own client on the path")


def module(name):
    path = name if name == "const" else "marketdata." + name
    try:
        return importlib.import_module("brelvox." + path)
    except ImportError as exc:
        for client_name in ("ondrax", "ondrax_fund"):  # what every data module imports
            if importlib.util.find_spec(client_name) is None:
                raise DataUnavailable(NO_CLIENT % client_name) from None
        raise DataUnavailable("brelvox.%s is not available (%s)" % (path, exc)) from None


def client():
    """The data client that the package's modules talk to."""
    return module("quenta").ondrax


def is_missing(exc):
    return isinstance(exc, module_exceptions().MissingData)


def module_exceptions():
    return importlib.import_module("brelvox.exceptions")


# --- calendar ---------------------------------------------------------------------------

def trading_dates(start, end):
    """Exchange trading dates from `start` to `end` (Timestamps), as a DatetimeIndex."""
    tolvik = module("tolvik")
    days = tolvik.get_exchange_trading_dates(start.date(), end.date())
    return pd.DatetimeIndex(pd.to_datetime(list(days)), name="date")


def previous_trading_date(day):
    """The exchange trading date before `day`, or None before the first stored date (the
    local client says so with a LookupError, other clients with a ValueError)."""
    try:
        return pd.Timestamp(module("tolvik").get_exchange_previous_trading_date(day))
    except (LookupError, ValueError):
        return None


def last_data_date():
    """The last date of the data: the local client's last calendar date, else the
    exchange trading date before today."""
    found = getattr(client(), "local", None)
    if found is not None:
        return pd.Timestamp(found.calendar_span()[1])
    return pd.Timestamp(client().get_previous_trading_date(datetime.date.today()))


# --- instruments --------------------------------------------------------------------------

def asset_types(order_book_ids):
    """(asset type per known id, unknown ids), as the engine routes holdings: the
    catalogue's classification, then cash ids, then the bond and convertible catalogues."""
    brisel = module("brisel")
    types = dict(brisel.get_asset_types(list(order_book_ids)))
    unknown = []
    for oid in order_book_ids:
        if oid in types:
            continue
        found_client = brisel.ondrax
        code = brisel.get_asset_type(oid)
        if code is None and found_client.bond.instruments(oid) is not None:
            code = "bond"
        if code is None and found_client.convertible.instruments(oid) is not None:
            code = "convertible"
        if code is None:
            unknown.append(oid)
        else:
            types[oid] = code
    return {oid: types[oid] for oid in order_book_ids if oid in types}, unknown


def listing_windows(order_book_ids):
    """id -> (listed, delisted) Timestamps (None when open) of the exchange instruments."""
    try:
        found = module("brisel").get_instruments(list(order_book_ids))
    except Exception:  # a catalogue that cannot say leaves the frame as it is
        return {}
    windows = {}
    for oid, record in found.items():
        bounds = []
        for name in ("listed_date", "de_listed_date"):
            text = getattr(record, name, None)
            bounds.append(None if not text or str(text).startswith("0000") else pd.Timestamp(text))
        windows[oid] = tuple(bounds)
    return windows


def blank_outside_listing(frame, windows):
    """The frame with NaN before each column's listing date and after its delisting date."""
    if not windows:
        return frame
    far_past, far_future = pd.Timestamp.min, pd.Timestamp.max
    bounds = [windows.get(oid, (None, None)) for oid in frame.columns]
    listed = pd.DatetimeIndex([b[0] or far_past for b in bounds]).to_numpy()
    delisted = pd.DatetimeIndex([b[1] or far_future for b in bounds]).to_numpy()
    days = frame.index.to_numpy().astype(listed.dtype)[:, None]
    outside = (days < listed[None, :]) | (days > delisted[None, :])
    if not outside.any():
        return frame
    values = frame.to_numpy(dtype=float, copy=True)
    values[outside] = float("nan")
    return pd.DataFrame(values, index=frame.index, columns=frame.columns)


def contract_multiplier(order_book_id):
    """The contract multiplier the client records for a futures or option, or None."""
    record = client().instruments(order_book_id)
    value = getattr(record, "contract_multiplier", None) if record is not None else None
    try:
        value = float(value)
    except (TypeError, ValueError):
        return None
    return value if np.isfinite(value) and value > 0 else None


# --- returns ------------------------------------------------------------------------------

def daily_returns(types, dates, cash_rate=0.0):
    """(returns frame dates x ids in the order of `types`, ids without data). Returns are
    routed by asset type; NaN where a function had nothing for an id."""
    quenta = module("quenta")
    groups = {}
    for oid, code in types.items():
        if code not in RETURN_FUNCTIONS:
            raise AttributionError("no daily returns for %s of asset type %s" % (oid, code))
        groups.setdefault(RETURN_FUNCTIONS[code], []).append(oid)
    parts, errors = [], []
    for name, ids in groups.items():
        try:
            if name == "get_bond_daily_returns":
                part = bond_returns(quenta, ids, dates)
            elif name == "get_cash_daily_returns":
                part = cash_returns(quenta, ids, dates, cash_rate)
            else:
                part = getattr(quenta, name)(ids, dates)
        except Exception as exc:
            if not is_missing(exc):
                raise
            errors.append(exc)
            continue
        parts.append(part.reindex(index=dates, columns=ids).fillna(0.0))
    frame = pd.concat(parts, axis=1) if parts else pd.DataFrame(index=dates)
    frame = frame.reindex(index=dates, columns=list(types))
    frame.index.name, frame.columns.name = "date", "order_book_id"
    missing = [c for c, empty in zip(frame.columns, frame.isna().all().to_numpy()) if empty]
    return frame, missing, errors


def bond_returns(quenta, ids, dates):
    """Bond returns on `dates`, each compounding the interbank trading days since the
    previous date, so weekend working days of the bond market are not lost."""
    tolvik = module("tolvik")
    first = pd.Timestamp(tolvik.get_exchange_previous_trading_date(dates[0])) + pd.Timedelta(days=1)
    bank = pd.DatetimeIndex(tolvik.get_bank_trading_dates(first.date(), dates[-1].date()),
                            name="date")
    if bank.empty or bank.isin(dates).all():
        return quenta.get_bond_daily_returns(ids, dates)
    daily = quenta.get_bond_daily_returns(ids, bank)
    slot = dates.searchsorted(bank)  # the first of `dates` on or after each bond market day
    keep = slot < len(dates)
    grown = (1.0 + daily[keep]).groupby(dates[slot[keep]]).prod() - 1.0
    return grown.reindex(dates, fill_value=0.0)


def cash_growth(dates, annual_rate):
    """Each date's return of cash at a fixed annual rate, compounded over the calendar days
    since the previous trading date: (1 + rate)^(days / 365) - 1."""
    if annual_rate == 0.0 or len(dates) == 0:
        return np.zeros(len(dates))
    before = previous_trading_date(dates[0])
    first = dates[0] - (before if before is not None else dates[0] - pd.Timedelta(days=1))
    days = np.concatenate([[first.days], np.diff(dates.to_numpy()).astype("timedelta64[D]")
                           .astype(float)])
    return np.expm1(np.log1p(annual_rate) * days / DAYS_PER_YEAR)


def cash_returns(quenta, ids, dates, annual_rate):
    growth = cash_growth(dates, annual_rate)
    return quenta.get_cash_daily_returns(list(ids), dates,
                                         np.repeat(growth[:, None], len(ids), axis=1))


# --- industries ---------------------------------------------------------------------------

def industry_codes(order_book_ids, dates, standard):
    """(codes (dates, ids) of each stock's industry on each date, -1 where none; the
    industry names the codes index)."""
    ids = list(order_book_ids)
    none = np.full((len(dates), len(ids)), -1, dtype=np.int32)
    if not ids:
        return none, []
    onehot = module("sorvan").get_stock_industry(ids, dates, standard)
    if not _date_major(onehot.index, dates, ids):
        expected = pd.MultiIndex.from_product([dates, ids], names=["date", "order_book_id"])
        onehot = onehot.reindex(expected, fill_value=0)
    values = onehot.to_numpy()
    if values.shape[1] == 0:
        return none, []
    # one-hot rows: the column holding a row's 1 is its industry (columns are contiguous)
    codes = none.reshape(-1)
    for k in range(values.shape[1]):
        column = values[:, k]
        codes[np.flatnonzero(column.view(bool) if column.dtype == np.int8 else column)] = k
    return codes.reshape(len(dates), len(ids)), [str(c) for c in onehot.columns]


def _date_major(index, dates, ids):
    """Whether a (date, id) MultiIndex runs date by date over `ids` in order."""
    if not isinstance(index, pd.MultiIndex) or index.nlevels != 2 \
            or len(index) != len(dates) * len(ids):
        return False
    day_codes, id_codes = (np.asarray(c) for c in index.codes)
    first = id_codes[:len(ids)]
    return (index.levels[0].equals(pd.DatetimeIndex(dates)) and
            np.array_equal(day_codes, np.repeat(np.arange(len(dates)), len(ids))) and
            np.array_equal(id_codes, np.tile(first, len(dates))) and
            list(index.levels[1].take(first)) == ids)


def industry_names(order_book_ids, dates, standard):
    """Dates x ids frame of industry names ('' where none)."""
    codes, names = industry_codes(order_book_ids, dates, standard)
    table = np.asarray(names + [""], dtype=object)
    frame = pd.DataFrame(table[codes], index=pd.DatetimeIndex(dates, name="date"),
                         columns=pd.Index(list(order_book_ids), name="order_book_id"))
    return frame


# --- indexes ------------------------------------------------------------------------------

def is_bond_index(order_book_id):
    return bool(module("brisel").maybe_bond_index(order_book_id))


def stock_index_weights(order_book_id, dates):
    """dates x constituents: the weights in force on each date (lists carried forward)."""
    return module("pelmar").get_stock_index_weight(order_book_id, dates)


def bond_index_weights(order_book_id, dates):
    """dates x constituents: the bond index's weights on each date, NaN before its first."""
    return module("pelmar").get_bond_index_weight(order_book_id, dates)


def first_stock_index_list(order_book_id, start, end):
    """The first date from `start` to `end` on which the index service has a list, or None."""
    records = client().client.get_client().execute(
        "__internal__index_weights", order_book_id, int(start.strftime("%Y%m%d")),
        int(end.strftime("%Y%m%d")))
    days = [pd.Timestamp(r["date"]) for r in records or ()]
    return min(days) if days else None


def index_closes(order_book_ids, dates):
    """dates x ids of closes, the last close carried over days without one; NaN before the
    first."""
    try:
        return module("oprane").get_equity_price(list(order_book_ids), dates)
    except Exception as exc:
        if is_missing(exc):
            return pd.DataFrame(np.nan, index=dates, columns=list(order_book_ids))
        raise


# --- prices that value a quantity -------------------------------------------------------

def unit_values(types, day):
    """{id: value of one unit on `day`} for the ids of `types`, by asset type: the close
    (stocks, funds, indexes, convertibles), settlement or close times the contract multiplier
    (futures, options), the dirty price per 100 face (bonds), the unit net value (public
    funds), 1 (cash). A price missing on `day` is looked for on the days before it (a
    suspended stock keeps its last close); ids without any are left out."""
    by_kind = {}
    for oid, code in types.items():
        by_kind.setdefault(code, []).append(oid)
    since = day - PRICE_LOOKBACK
    out = {}
    for code, ids in by_kind.items():
        if code == "cash":
            out.update({oid: 1.0 for oid in ids})
        elif code == "bond":
            out.update(_last_values(_bond_dirty(ids, since, day)))
        elif code == "public_fund":
            out.update(_last_values(_fund_nav(ids, since, day)))
        else:
            field = "settlement" if code == "futures" else "close"
            out.update(_last_values(_client_price(ids, since, day, field)))
    return out


def _last_values(frame):
    """{id: last non-NaN value} of a frame on (id, date) with one column."""
    if frame is None or len(frame) == 0:
        return {}
    series = frame.iloc[:, 0] if isinstance(frame, pd.DataFrame) else frame
    series = series.dropna()
    if series.empty:
        return {}
    dates = series.index.get_level_values(1)
    order = np.lexsort((np.asarray(dates), np.asarray(series.index.get_level_values(0), dtype=object)))
    series = series.iloc[order]
    last = series.groupby(level=0, sort=False).last()
    return {str(k): float(v) for k, v in last.items()}


def _client_price(ids, since, day, field):
    return client().get_price(list(ids), since.date(), day.date(), fields=[field],
                              expect_df=True, adjust_type="none")


def _bond_dirty(ids, since, day):
    frame = module("caldre").get_chinabond_valuation(
        list(ids), ["dirty_price_eod"], since.strftime("%Y-%m-%d"), day.strftime("%Y-%m-%d"))
    if not isinstance(frame.index, pd.MultiIndex):
        return None
    return frame[["dirty_price_eod"]]


def _fund_nav(ids, since, day):
    return client().fund.get_nav(list(ids), since.date(), day.date(), fields=["unit_net_value"],
                                 expect_df=True)
