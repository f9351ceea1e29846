"""brelvox-marketdata: the demo's output and files, the query commands, exit codes."""

import importlib
import importlib.util
import os
import shutil
import subprocess
import sys

import pandas as pd
import pytest

from fakes_local import client_pythonpath, local, require, sample_path  # noqa: F401  (fixture)

cli = pytest.importorskip("brelvox.cli")
render = importlib.import_module("brelvox.cli.render")
for _name in ("quenta", "brisel", "sorvan", "pelmar", "caldre", "tolvik"):
    pytest.importorskip("brelvox.marketdata." + _name)


def run(capsys, *argv):
    status = cli.main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def one_line_error(err):
    lines = err.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("brelvox-marketdata: error: "), err
    assert "Traceback" not in err
    return lines[0]


class TestDemo:
    def test_prints_the_attribution(self, local, capsys):
        status, out, err = run(capsys, "demo")
        assert status == 0 and err == ""
        assert "brelvox-marketdata attribute %s --benchmark %s --start 2025-07-01" % (
            local.local.sample_holdings_path(), cli.DEMO_BENCHMARK) in out
        for title in ("Returns over the span", "The benchmark's indexes", "Level 1, asset types",
                      "Level 2, Shenwan industries"):
            assert title in out
        for group in ("stock", "fund", "bond", "futures", "option", "public_fund", "cash",
                      "医药生物", "000060.XSHG", "KVX1001.INDX"):
            assert group in out
        assert "126 trading dates" in out

    def test_csv_tables_add_up(self, local, capsys, tmp_path):
        status, out, _ = run(capsys, "demo", "--csv", str(tmp_path / "out"))
        assert status == 0 and out.count("\nwrote ") == 5
        types = pd.read_csv(tmp_path / "out" / "asset_types.csv", index_col=0)
        industries = pd.read_csv(tmp_path / "out" / "industries.csv", index_col=0)
        summary = pd.read_csv(tmp_path / "out" / "summary.csv", index_col=0)["value"]
        columns = ["allocation", "selection", "interaction", "total", "portfolio_weight",
                   "benchmark_weight", "portfolio_return", "benchmark_return"]
        assert list(types.columns) == columns == list(industries.columns)
        active = float(summary["active_return"])
        assert types.loc["total", "total"] == pytest.approx(active, abs=1e-11)
        assert types.drop("total")[columns[:3]].to_numpy().sum() == pytest.approx(active, abs=1e-11)
        assert industries.loc["total", "total"] == pytest.approx(
            types.loc["stock", "selection"] + types.loc["stock", "interaction"], abs=1e-11)
        daily = pd.read_csv(tmp_path / "out" / "daily_effects.csv")
        assert list(daily.columns) == ["date", "level", "group", "effect", "value"]
        groups = pd.read_csv(tmp_path / "out" / "daily_groups.csv")
        first = groups[(groups["date"] == "2025-07-01") & (groups["level"] == "asset_type")]
        assert first["portfolio_weight"].sum() == pytest.approx(1.0)
        portfolio = daily[daily["level"] == "asset_type"].groupby("date")["value"].sum()
        assert len(portfolio) == 126

    def test_plot_and_report(self, local, capsys, tmp_path):
        chart, page = tmp_path / "chart.png", tmp_path / "report.html"
        status, out, err = run(capsys, "demo", "--plot", str(chart), "--report", str(page))
        if importlib.util.find_spec("matplotlib") is None:
            assert status == 2 and "pip install matplotlib" in one_line_error(err)
            return
        assert status == 0 and chart.read_bytes()[:4] == b"\x89PNG"
        text = page.read_text(encoding="utf-8")
        assert "data:image/png;base64," in text and "Level 2: Shenwan industries" in text
        assert "医药生物" in text and "<script" not in text

    def test_help_lists_only_what_it_accepts(self, local, capsys):
        with pytest.raises(SystemExit):
            cli.main(["demo", "--help"])
        out = capsys.readouterr().out
        assert "--start" not in out and "--date" not in out and "--report" in out
        status, _, err = run_status(capsys, "demo", "--start", "2025-12-01")
        assert status == 2 and "unrecognized arguments: --start" in err

    def test_on_a_database_without_the_holdings(self, local, capsys, monkeypatch, tmp_path):
        (tmp_path / "csv").mkdir()
        (tmp_path / "csv" / "calendar.csv").write_text("market,date\nexchange,2025-07-01\n")
        local.local.load_csv(str(tmp_path / "csv"), str(tmp_path / "empty.duckdb"))
        status, _, err = run(capsys, "demo", "--db", str(tmp_path / "empty.duckdb"))
        assert status == 1 and "runs on the bundled sample" in one_line_error(err)


def run_status(capsys, *argv):
    """Like run, for command lines argparse refuses (SystemExit)."""
    try:
        status = cli.main(list(argv))
    except SystemExit as exc:
        status = exc.code
    out, err = capsys.readouterr()
    return status, out, err


def holdings_file(path, rows, kind="weight"):
    path.write_text("date,order_book_id,%s\n" % kind + "".join("%s,%s,%s\n" % r for r in rows))
    return str(path)


class TestAttribute:
    STOCKS = [("2025-06-30", "600100.XSHG", 0.6), ("2025-06-30", "300310.XSHE", 0.3),
              ("2025-06-30", "CNY", 0.1), ("2025-09-30", "600100.XSHG", 0.5),
              ("2025-09-30", "CNY", 0.5)]

    @pytest.mark.parametrize("options", [[], ["--method", "bhb", "--linking", "menchero"],
                                         ["--linking", "frongello", "--rebalance", "daily",
                                          "--standard", "citics", "--cash-rate", "0.02"]])
    def test_own_holdings(self, local, capsys, tmp_path, options):
        path = holdings_file(tmp_path / "mine.csv", self.STOCKS)
        status, out, err = run(capsys, "attribute", path, "--benchmark", "000060.XSHG:0.8,CNY:0.2",
                               "--end", "2025-12-31", "--csv", str(tmp_path / "out"), *options)
        assert status == 0 and err == ""
        assert "mine against 000060.XSHG:0.8,CNY:0.2, 2025-07-01 to 2025-12-31" in out
        types = pd.read_csv(tmp_path / "out" / "asset_types.csv", index_col=0)
        summary = pd.read_csv(tmp_path / "out" / "summary.csv", index_col=0)["value"]
        assert types.loc["total", "total"] == pytest.approx(float(summary["active_return"]),
                                                            abs=1e-11)
        assert list(types.index) == ["stock", "cash", "total"]

    def test_bad_holdings_name_file_and_line(self, local, capsys, tmp_path):
        path = holdings_file(tmp_path / "mine.csv", [("2025-06-30", "600100.XSHG", "x")])
        status, _, err = run(capsys, "attribute", path, "--benchmark", "000060.XSHG")
        assert status == 1 and "mine.csv line 2: weight 'x' is not a number" in one_line_error(err)
        path = holdings_file(tmp_path / "mine.csv", self.STOCKS)
        status, _, err = run(capsys, "attribute", path, "--benchmark", "600100.XSHG")
        assert status == 1 and "600100.XSHG is not an index" in one_line_error(err)
        status, _, err = run_status(capsys, "attribute", path, "--benchmark", "CNY", "--jobs", "0")
        assert status == 2

    def test_a_folder_of_portfolios(self, local, capsys, tmp_path):
        folder = tmp_path / "books"
        folder.mkdir()
        holdings_file(folder / "a.csv", self.STOCKS)
        holdings_file(folder / "b.csv", [("2025-06-30", "600100.XSHG", 1.0)])
        holdings_file(folder / "c.csv", [("2025-06-30", "NOPE", 1.0)])
        (folder / "d.csv").write_text("date,order_book_id\n")
        status, out, err = run(capsys, "attribute", str(folder), "--benchmark", "000060.XSHG",
                               "--end", "2025-12-31", "--csv", str(tmp_path / "out"),
                               "--jobs", "2")
        assert status == 1
        errors = err.strip().splitlines()
        assert len(errors) == 2 and "c.csv: c.csv line 2: unknown instrument NOPE" in errors[0]
        assert "d.csv" in errors[1]
        assert sorted(os.listdir(tmp_path / "out")) == ["a", "b"]
        assert "Attribution of 2 portfolios" in out
        alone, _, _ = run(capsys, "attribute", str(folder / "b.csv"), "--benchmark",
                          "000060.XSHG", "--end", "2025-12-31", "--csv", str(tmp_path / "b"))
        together = pd.read_csv(tmp_path / "out" / "b" / "industries.csv", index_col=0)
        assert alone == 0 and together.equals(pd.read_csv(tmp_path / "b" / "industries.csv",
                                                          index_col=0))


class TestQueries:
    def test_returns_route_by_asset_type(self, local, capsys):
        status, out, _ = run(capsys, "returns", "600100.XSHG", "019727.XSHG", "970101", "CNY",
                             "--start", "2025-12-24", "--end", "2025-12-31")
        assert status == 0
        rows = [line for line in out.splitlines() if line.startswith("2025-12-")]
        assert len(rows) == 6 and all(len(r.split()) == 5 for r in rows)
        assert rows[0].split()[-1] == "0.000"  # cash

    def test_bond_returns_keep_weekend_working_days(self, local, capsys, tmp_path):
        quenta = require("quenta")
        status, _, _ = run(capsys, "returns", "2480055.NIB", "--start", "2025-09-25",
                           "--end", "2025-10-14", "--csv", str(tmp_path / "r.csv"))
        shown = pd.read_csv(tmp_path / "r.csv", index_col=0)["2480055.NIB"]
        bank = pd.DatetimeIndex(local.bond.get_trading_dates("2025-09-25", "2025-10-14"))
        daily = quenta.get_bond_daily_returns(["2480055.NIB"], bank)["2480055.NIB"]
        assert status == 0 and len(shown) == len(bank) - 2
        assert shown["2025-09-29"] == pytest.approx(
            (1 + daily["2025-09-28"]) * (1 + daily["2025-09-29"]) - 1)
        assert (1 + shown).prod() == pytest.approx((1 + daily).prod())

    def test_default_span_is_the_last_twenty_dates(self, local, capsys):
        status, out, _ = run(capsys, "returns", "SX2603")
        assert status == 0 and "to 2025-12-31" in out
        assert len([line for line in out.splitlines() if line[:4] == "2025"]) == 20

    def test_asset_types(self, local, capsys):
        status, out, _ = run(capsys, "asset-types", "600100.XSHG", "019727.XSHG", "cny", "113901.XSHG")
        assert status == 0
        table = {line.split()[0]: line.split()[1:] for line in out.splitlines()[3:]}
        assert table["600100.XSHG"] == ["stock", "股票"] and table["019727.XSHG"] == ["bond", "债券"]
        assert table["cny"] == ["cash", "现金"] and table["113901.XSHG"][0] == "convertible"

    def test_industry(self, local, capsys):
        status, out, _ = run(capsys, "industry", "600156.XSHG", "--start", "2024-06-27",
                             "--end", "2024-07-02")
        assert status == 0
        names = [line.split()[-1] for line in out.splitlines() if line.startswith("2024-")]
        assert names == ["煤炭", "煤炭", "电子", "电子"]

    def test_weights(self, local, capsys):
        status, out, _ = run(capsys, "weights", "000060.XSHG", "--top", "3", "--date", "2025-12-31")
        assert status == 0 and len(out.strip().splitlines()) == 3 + 4
        status, out, _ = run(capsys, "weights", "KVX1001.INDX", "--date", "2025-12-31")
        assert status == 0 and "230026.NIB" in out

    def test_valuation_curve_and_calendar(self, local, capsys, tmp_path):
        status, out, _ = run(capsys, "valuation", "019727.XSHG", "--date", "2025-12-31",
                             "--csv", str(tmp_path / "v.csv"))
        assert status == 0 and "period_of_repayment" in out
        assert pd.read_csv(tmp_path / "v.csv").shape[0] == 1
        status, out, _ = run(capsys, "curve", "--date", "2025-12-31")
        assert status == 0 and "10Y" in out
        status, out, _ = run(capsys, "calendar", "--start", "2024-09-25", "--end", "2024-10-15",
                             "--market", "interbank")
        assert status == 0 and out.startswith("12 interbank trading dates")
        assert "2024-09-29" in out and "2024-10-07" not in out

    def test_prices(self, local, capsys):
        require("oprane")
        status, out, _ = run(capsys, "prices", "600100.XSHG", "SX2603", "--date", "2025-12-31")
        assert status == 0 and "SX2603" in out
        status, _, err = run(capsys, "prices", "019727.XSHG", "--date", "2025-12-31")
        assert status == 1 and "valuation" in one_line_error(err)


class TestErrors:
    @pytest.mark.parametrize("argv, status, text", [
        (["returns", "NOPE", "600100.XSHG"], 1, "unknown instrument: NOPE"),
        (["returns", "600100.XSHG", "--start", "2025-13-01"], 2, "bad start date '2025-13-01'"),
        (["returns", "600100.XSHG", "--start", "2025-12-31", "--end", "2025-12-01"], 2,
         "after the end date"),
        (["returns", "600100.XSHG", "--start", "2027-01-04", "--end", "2027-01-08"], 1,
         "no exchange trading dates"),
        (["weights", "000001.XSHG", "--date", "2025-12-31"], 1, "指数权重数据"),
        (["asset-types", "NOPE"], 1, "unknown instrument: NOPE"),
        (["returns"] + ["N%02d" % k for k in range(12)], 1,
         "unknown instruments: N00, N01, N02, N03, N04, N05, N06, N07, N08, N09 and 2 more"),
        (["valuation", "NOPE", "--date", "2025-12-31"], 1, "估值数据"),
        (["returns", "600100.XSHG", "--db", "/nonexistent/x.duckdb"], 1, "no database at"),
        (["industry", "999999.XSHG"], 1, "unknown instrument: 999999.XSHG"),
        (["industry", "019727.XSHG", "--date", "2025-12-31"], 1,
         "no Shenwan industry for 019727.XSHG on 2025-12-31"),
        # the span's interbank trading dates are counted, not its two ends
        (["valuation", "600100.XSHG", "--start", "2025-06-02", "--end", "2025-08-11"], 1,
         "(估值数据) for 600100.XSHG over 50 dates from 2025-06-03 to 2025-08-11"),
    ])
    def test_one_line_and_status(self, local, capsys, argv, status, text):
        got, _, err = run(capsys, *argv)
        assert got == status and text in one_line_error(err)

    def test_usage_errors_exit_2(self, local, capsys):
        with pytest.raises(SystemExit) as exc:
            cli.main(["frobnicate"])
        assert exc.value.code == 2


class TestWholeAnswers:
    def test_ids_without_data_are_named_not_fatal(self, local, capsys, tmp_path):
        require("oprane")
        status, out, err = run(capsys, "prices", "600100.XSHG", "SX2603", "--start", "2024-06-14",
                               "--end", "2024-06-21", "--csv", str(tmp_path / "p.csv"))
        assert status == 0 and err.strip().splitlines() == [
            "brelvox-marketdata: warning: no data from 2024-06-14 to 2024-06-21 for: SX2603"]
        shown = pd.read_csv(tmp_path / "p.csv", index_col=0)
        assert shown["SX2603"].isna().all() and shown["600100.XSHG"].notna().all()

    def test_delisted_stock_is_empty_not_flat(self, local, capsys, tmp_path):
        status, _, _ = run(capsys, "returns", "688429.XSHG", "600100.XSHG", "--start", "2024-11-27",
                           "--end", "2024-12-04", "--csv", str(tmp_path / "r.csv"))
        returns = pd.read_csv(tmp_path / "r.csv", index_col=0)["688429.XSHG"]
        assert status == 0 and returns[:"2024-11-29"].notna().all()
        assert returns["2024-12-02":].isna().all()

    def test_span_from_the_first_stored_date(self, local, capsys):
        status, out, err = run(capsys, "returns", "600100.XSHG", "--start", "2024-01-02",
                               "--end", "2024-01-10")
        assert status == 0 and "first stored date" in err and "2024-01-03" in out
        assert "2024-01-02" not in out

    def test_non_trading_date_means_the_one_before(self, local, capsys):
        status, out, err = run(capsys, "returns", "600100.XSHG", "--date", "2025-12-28")
        assert status == 0 and "using 2025-12-26" in err and "on 2025-12-26" in out


class TestOutputRules:
    def test_csv_holds_the_whole_span(self, local, capsys, tmp_path):
        status, out, _ = run(capsys, "weights", "000060.XSHG", "--start", "2025-10-01",
                             "--csv", str(tmp_path / "w.csv"))
        table = pd.read_csv(tmp_path / "w.csv", index_col=0)
        days = len(local.get_trading_dates("2025-10-01", "2025-12-31"))
        assert status == 0 and table.shape == (49, days) and out.count("2025-10-09") == 0
        assert table.iloc[:, -1].sum() == pytest.approx(1.0)  # fractions

    def test_quiet_prints_only_the_files(self, local, capsys, tmp_path):
        status, out, err = run(capsys, "demo", "--quiet", "--csv", str(tmp_path))
        assert status == 0 and err == ""
        assert sorted(out.splitlines()) == sorted(
            "wrote %s" % (tmp_path / name) for name in os.listdir(tmp_path))
        industries = pd.read_csv(tmp_path / "industries.csv", index_col=0)
        assert industries.index.name == "group" and industries.index[-1] == "total"
        body = industries.drop("total")[["allocation", "selection", "interaction", "total"]]
        assert body.sum().to_numpy() == pytest.approx(
            industries.loc["total", body.columns].to_numpy(), abs=1e-11)

    def test_preview_marks_the_rows_it_leaves_out(self, local, capsys):
        status, out, _ = run(capsys, "returns", "600100.XSHG", "--start", "2025-11-01")
        lines = out.splitlines()
        rows = [k for k, line in enumerate(lines) if line[:4] == "2025"]
        assert status == 0 and len(rows) == 20 and lines[rows[9] + 1] == "..."
        assert lines[rows[9]].startswith("2025-11-14") and lines[rows[10]].startswith("2025-12-18")

    def test_a_rounded_zero_has_no_sign(self):
        shown = render.formatted(pd.DataFrame({"gap": [-1e-9, 0.25]}), digits=4)
        assert "-0.0000" not in shown and "0.0000" in shown and "25.0000" in shown
        page = importlib.import_module("brelvox.cli.html")
        assert page._cell(-1e-9) == "<td>0.000 %</td>"
        assert page._cell(-0.0004) == '<td class="neg">-0.040 %</td>'

    def test_nav(self, local, capsys):
        status, out, _ = run(capsys, "nav", "970201", "970101", "--start", "2025-12-29")
        assert status == 0 and "unit_net_value" in out and "daily_profit" in out

    @pytest.mark.parametrize("argv, text", [
        (["returns", "600100.XSHG", "--date", "2025-12-31", "--start", "2025-12-01"],
         "--date cannot be combined"),
        (["valuation", "019727.XSHG", "--fields", "ytm"], "valid: yield_to_maturity"),
        (["nav", "970201", "--fields", "nav"], "valid: unit_net_value"),
    ])
    def test_refused_with_status_2(self, local, capsys, argv, text):
        status, out, err = run(capsys, *argv)
        assert status == 2 and out == "" and text in one_line_error(err)

    def test_help_states_statuses_and_csv_rule(self, capsys):
        with pytest.raises(SystemExit) as exc:
            cli.main(["returns", "--help"])
        out = " ".join(capsys.readouterr().out.split())
        assert exc.value.code == 0 and "2 bad command line or missing optional dependency" in out
        assert "as fractions" in out and "Dates:" in out
        with pytest.raises(SystemExit):
            cli.main(["load", "--help"])
        out = " ".join(capsys.readouterr().out.split())
        assert "1 no data, unknown instrument, or input refused" in out
        assert "as fractions" not in out and "Dates:" not in out


class TestDatabases:
    def test_load_and_query(self, local, capsys, tmp_path):
        (tmp_path / "csv").mkdir()
        (tmp_path / "csv" / "calendar.csv").write_text(
            "market,date\nexchange,2024-01-02\nexchange,2024-01-03\nexchange,2024-01-06\n")
        target = tmp_path / "mine.duckdb"
        status, out, err = run(capsys, "load", str(tmp_path / "csv"), str(target))
        assert status == 0 and "calendar (3 rows)" in out and target.exists()
        assert err.splitlines() == ["brelvox-marketdata: warning: calendar.csv line 4: "
                                    "2024-01-06 is a Saturday: exchanges do not trade at weekends"]
        span = ["calendar", "--start", "2024-01-01", "--end", "2024-01-31"]
        db = ["--db", str(target)]
        for argv in (db + span, span + db):  # --db before or after the command
            status, out, _ = run(capsys, *argv)
            assert status == 0 and out.startswith("3 exchange trading dates"), argv
        status, _, err = run(capsys, "load", str(tmp_path / "csv"), str(target))
        assert status == 1 and "--force" in one_line_error(err)

    def test_load_error_names_file_and_line(self, local, capsys, tmp_path):
        (tmp_path / "csv").mkdir()
        (tmp_path / "csv" / "calendar.csv").write_text("market,date\nexchange,2024-01-02\n"
                                                      "exchange,02/30/2024\n")
        status, _, err = run(capsys, "load", str(tmp_path / "csv"), str(tmp_path / "x.duckdb"))
        assert status == 1
        assert "calendar.csv line 3: bad date '02/30/2024'" in one_line_error(err)
        assert not (tmp_path / "x.duckdb").exists()

    def test_sample(self, local, capsys, tmp_path):
        target = tmp_path / "s.duckdb"
        assert run(capsys, "sample", str(target))[0] == 0 and target.exists()
        status, _, err = run(capsys, "sample", str(target))
        assert status == 1 and "--force" in one_line_error(err)


def child_env():
    paths = [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths + client_pythonpath()))
    env["ONDRAX_LOCAL_DB"] = sample_path()
    return env


class TestProcess:
    def test_demo_in_its_own_process(self, tmp_path):
        done = subprocess.run([sys.executable, "-m", "brelvox.cli", "demo"], cwd=tmp_path,
                              env=child_env(), capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        assert "Level 1, asset types" in done.stdout and done.stderr == ""

    def test_user_error_in_its_own_process(self, tmp_path):
        done = subprocess.run([sys.executable, "-m", "brelvox.cli", "returns", "NOPE"],
                              cwd=tmp_path, env=child_env(), capture_output=True, text=True,
                              timeout=120)
        assert done.returncode == 1 and done.stdout == ""
        assert one_line_error(done.stderr).endswith("unknown instrument: NOPE")

    def test_a_missing_data_client_is_named(self, tmp_path):
        # as if no ondrax were installed: the import of a data module fails for that reason
        code = ("import sys; sys.modules['ondrax'] = None\n"
                "from brelvox.cli import main; sys.exit(main(['returns', '600100.XSHG']))")
        done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, env=child_env(),
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 1 and one_line_error(done.stderr).startswith(
            "brelvox-marketdata: error: no data client: nothing named ondrax can be imported; "
            "install the local one")

    def test_console_script(self, tmp_path):
        beside = os.path.join(os.path.dirname(sys.executable), "brelvox-marketdata")
        script = beside if os.path.exists(beside) else shutil.which("brelvox-marketdata")
        if script is None:
            pytest.skip("brelvox-marketdata is not installed")
        done = subprocess.run([script, "--help"], cwd=tmp_path, env=child_env(),
                              capture_output=True, text=True, timeout=60)
        assert done.returncode == 0 and "demo" in done.stdout
