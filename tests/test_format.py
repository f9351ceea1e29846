"""Date and string conversion, and the JSON encoder."""

import datetime
import json
import re
import uuid

import numpy as np
import pandas as pd
import pytest

from brelvox.utils import format as fmt

JAN2 = datetime.date(2020, 1, 2)
JAN2_MIDNIGHT = datetime.datetime(2020, 1, 2)


def test_is_compiled_extension():
    assert not fmt.__file__.endswith(".py")


def test_constants_in_order_and_flags():
    names = [n for n in vars(fmt) if n in (
        "timestamp_regexp", "number_regex", "float_regex", "integer_regex", "BOOLEAN_STATES",
        "yield_rate_regex")]
    assert names == ["timestamp_regexp", "number_regex", "float_regex", "integer_regex",
                     "BOOLEAN_STATES", "yield_rate_regex"]
    assert isinstance(fmt.timestamp_regexp, re.Pattern)
    assert fmt.timestamp_regexp.flags & re.X
    assert fmt.number_regex.pattern == r"-?\d+\.?\d*"
    assert fmt.float_regex.pattern == r"-?\d+\.\d*"
    assert fmt.integer_regex.pattern == r"-?\d+"
    assert fmt.yield_rate_regex.pattern == r"(?P<number>\d+)(M|Y)$"
    assert list(fmt.BOOLEAN_STATES.items()) == [
        ("1", True), ("yes", True), ("true", True), ("on", True),
        ("0", False), ("no", False), ("false", False), ("off", False)]
    assert list(fmt.timestamp_regexp.groupindex) == [
        "year", "month", "day", "t", "hour", "minute", "second", "fraction", "tz", "tz_sign",
        "tz_hour", "tz_minute"]


class TestConvertToDatetime:
    def test_datetime_and_timestamp_returned_as_is(self):
        aware = datetime.datetime(2020, 1, 2, 9, 30, tzinfo=datetime.timezone.utc)
        ts = pd.Timestamp("2020-01-02 09:30")
        assert fmt.convert_to_datetime(aware) is aware
        assert fmt.convert_to_datetime(ts) is ts

    def test_date_gives_naive_midnight(self):
        out = fmt.convert_to_datetime(JAN2)
        assert type(out) is datetime.datetime and out == JAN2_MIDNIGHT and out.tzinfo is None

    def test_strings_parsed_by_pandas(self):
        assert fmt.convert_to_datetime("2020-01-02 09:30") == datetime.datetime(2020, 1, 2, 9, 30)
        assert fmt.convert_to_datetime("20200102") == JAN2_MIDNIGHT
        assert type(fmt.convert_to_datetime(np.datetime64("2020-01-02"))) is datetime.datetime

    def test_eight_digit_int_is_year_month_day(self):
        assert fmt.convert_to_datetime(20200102) == JAN2_MIDNIGHT
        assert fmt.convert_to_datetime(np.int64(20200102)) == JAN2_MIDNIGHT

    def test_eight_digit_int_not_a_date_refused(self):
        with pytest.raises(ValueError, match="20201301"):
            fmt.convert_to_datetime(20201301)
        with pytest.raises(ValueError, match="20190229"):
            fmt.convert_date_to_int(20190229)

    def test_unparsable_passes_pandas_error(self):
        with pytest.raises((ValueError, TypeError)):
            fmt.convert_to_datetime("not a date")


class TestConvertDateToInt:
    @pytest.mark.parametrize("value", [
        JAN2, JAN2_MIDNIGHT, datetime.datetime(2020, 1, 2, 23, 59), pd.Timestamp("2020-01-02"),
        "2020-01-02", "20200102", 20200102, np.datetime64("2020-01-02")])
    def test_every_form_of_jan2(self, value):
        out = fmt.convert_date_to_int(value)
        assert out == 20200102 and type(out) is int

    def test_leap_day_int(self):
        assert fmt.convert_date_to_int(20200229) == 20200229

    def test_object_with_date_attributes(self):
        class Day:
            year, month, day = 1999, 12, 31
        assert fmt.convert_date_to_int(Day()) == 19991231

    def test_many_dates_refused_instead_of_recursing(self):
        with pytest.raises(TypeError, match="single date"):
            fmt.convert_date_to_int(["2020-01-02", "2020-01-03"])


class TestPatterns:
    @pytest.mark.parametrize("text", [
        "2020-01-02", "2020-1-2", "2020-01-02 09:30:00", "2020-01-02T09:30:00.123+08:00",
        "2020-01-02t9:30:00", "2020-01-02 \t09:30:00Z", "2020-01-02 09:30:00 -5"])
    def test_timestamp_accepts(self, text):
        assert fmt.is_datetime_string(text)

    @pytest.mark.parametrize("text", [
        "20200102", "2020-01-02 09:30", "2020-01-02 09:30:00x", "2020-01-02T", "20-01-02",
        "2020-01-02  09:30:00 +08:0"])
    def test_timestamp_rejects(self, text):
        assert fmt.is_datetime_string(text) is None

    def test_timestamp_groups(self):
        m = fmt.is_datetime_string("2020-01-02T09:30:00.123+08:00")
        assert isinstance(m, re.Match)
        assert m.group("year", "month", "day", "t", "hour", "fraction", "tz_sign", "tz_hour",
                       "tz_minute") == ("2020", "01", "02", "T", "09", "123", "+", "08", "00")
        assert fmt.is_datetime_string("2020-01-02 09:30:00").group("t") is None

    def test_number_prefix_rules(self):
        assert fmt.is_integer_string("123") and fmt.is_integer_string("-7")
        assert fmt.is_integer_string("1.5").group() == "1"
        assert fmt.is_integer_string("12abc")
        assert fmt.is_integer_string("abc") is None and fmt.is_integer_string(".5") is None
        assert fmt.is_float_string("1.5") and fmt.is_float_string("2.")
        assert fmt.is_float_string("15") is None
        assert fmt.is_number_string("-3.25x").group() == "-3.25"
        assert fmt.is_number_string("x3") is None

    def test_non_string_raises_type_error(self):
        for predicate in (fmt.is_datetime_string, fmt.is_number_string, fmt.is_float_string,
                          fmt.is_integer_string):
            with pytest.raises(TypeError):
                predicate(5)

    def test_bool_words(self):
        assert all(fmt.is_bool_string(v) is True for v in ("Yes", "OFF", "0", "true"))
        assert all(fmt.is_bool_string(v) is False for v in ("y", "2", ""))
        with pytest.raises(AttributeError):
            fmt.is_bool_string(1)

    def test_true_words_case_sensitive(self):
        assert fmt.is_true_string("true") is True and fmt.is_true_string("1") is True
        assert fmt.is_true_string("True") is False and fmt.is_true_string("off") is False
        assert fmt.is_true_string(1) is False
        with pytest.raises(TypeError):
            fmt.is_true_string(["true"])


class TestUnion:
    def test_distinct_elements_in_set_order(self):
        out = fmt.union([3, 1, 2], (2, 4), iter([1, 5]))
        assert out == list({3, 1, 2, 4, 5}) and len(out) == 5

    def test_no_arguments(self):
        assert fmt.union() == []

    def test_refuses_keywords_and_unhashables(self):
        with pytest.raises(TypeError):
            fmt.union(it=[1])
        with pytest.raises(TypeError):
            fmt.union([[1]])


class TestTermsInYear:
    @pytest.mark.parametrize("text, years", [
        ("10Y", 10), ("6M", 0.5), ("18M", 1.5), ("0Y", 0), ("AAA10Y", 10), ("12M", 1.0)])
    def test_tenors(self, text, years):
        out = fmt.get_terms_in_year(text)
        assert out == years
        assert type(out) is (int if text.endswith("Y") else float)

    def test_unit_read_from_the_match(self):
        assert fmt.get_terms_in_year("10Y\n") == 10
        assert fmt.get_terms_in_year("6M\n") == 0.5

    @pytest.mark.parametrize("text", ["3W", "10y", "Y", "", "10Y1"])
    def test_no_tenor(self, text):
        with pytest.raises(ValueError) as info:
            fmt.get_terms_in_year(text)
        assert str(info.value) == "invalid string: " + text

    def test_argument_type(self):
        class Sub(str):
            pass
        for value, name in ((10, "int"), (Sub("10Y"), "Sub"), (b"10Y", "bytes")):
            with pytest.raises(TypeError) as info:
                fmt.get_terms_in_year(value)
            assert str(info.value) == (
                "Argument 's' has incorrect type (expected str, got %s)" % name)
        with pytest.raises(TypeError):
            fmt.get_terms_in_year(None)
        with pytest.raises(TypeError):
            fmt.get_terms_in_year(s=None)


class TestJSONEncoder:
    def dumps(self, value, **options):
        return json.dumps(value, cls=fmt.JSONEncoder, **options)

    def test_is_a_standard_encoder(self):
        assert issubclass(fmt.JSONEncoder, json.JSONEncoder)
        assert fmt.JSONEncoder.__module__ == "brelvox.utils.format"
        assert self.dumps({"b": 1, "a": [1, 2]}, sort_keys=True, indent=1) == (
            '{\n "a": [\n  1,\n  2\n ],\n "b": 1\n}')

    def test_datetimes(self):
        assert self.dumps(JAN2_MIDNIGHT) == '"2020-01-02"'
        assert self.dumps(datetime.datetime(2020, 1, 2, 9, 30)) == '"2020-01-02T09:30:00"'
        assert self.dumps(datetime.datetime(2020, 1, 2, 0, 0, 0, 500)) == '"2020-01-02"'
        aware = datetime.datetime(2020, 1, 2, tzinfo=datetime.timezone.utc)
        assert self.dumps(aware) == '"2020-01-02"'
        assert self.dumps(datetime.datetime(2020, 1, 2, 0, 0, 1)) == '"2020-01-02T00:00:01"'

    def test_timestamps_and_nat(self):
        assert self.dumps(pd.Timestamp("2020-01-02")) == '"2020-01-02"'
        assert self.dumps(pd.Timestamp("2020-01-02 09:30:00.25")) == '"2020-01-02T09:30:00.250000"'
        assert self.dumps(pd.NaT) == '"NaT"'

    def test_dates_and_uuids(self):
        assert self.dumps([JAN2]) == '["2020-01-02"]'
        u = uuid.UUID("12345678-1234-5678-1234-567812345678")
        assert self.dumps({"id": u}) == '{"id": "12345678-1234-5678-1234-567812345678"}'

    def test_other_objects_refused(self):
        for value in ({1, 2}, np.int64(1), pd.DataFrame()):
            with pytest.raises(TypeError, match="not JSON serializable"):
                self.dumps(value)

    def test_default_callable_directly_and_overridable(self):
        encoder = fmt.JSONEncoder()
        assert encoder.default(JAN2) == "2020-01-02"
        assert fmt.JSONEncoder.default(encoder, o=JAN2) == "2020-01-02"

        class Sets(fmt.JSONEncoder):
            def default(self, o):
                return sorted(o) if isinstance(o, set) else super().default(o)

        assert json.dumps([{2, 1}, JAN2], cls=Sets) == '[[1, 2], "2020-01-02"]'
