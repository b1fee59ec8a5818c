"""Double of ``baostock``: login state, result sets paged like the real client.

    from doubles import baostock as bs_double
    bs_double.script.query_hs300_stocks = bs_double.constituents(["sh.600000", "sz.000001"])
    bs_double.script.query_history_k_data_plus = table     # a DataFrame becomes a result set
    bs_double.script.login = bs_double.result(error_code="10002007", error_msg="网络接收错误。")

The login state is process-wide, as in the real client: ``reset()`` leaves it
alone; tests that depend on it set ``state.logged_in`` themselves. Queries
made while logged out answer with error "10001001" whatever is scripted.
"""

from __future__ import annotations

import types

import pandas as pd

from . import frames
from ._script import Library, Scripted

lib = Library("baostock", "bs.")
script = lib.script
calls = lib.calls
calls_to = lib.calls_to
reset = lib.reset

BSERR_SUCCESS = "0"
BSERR_NO_LOGIN = "10001001"
PER_PAGE_COUNT = 10000

state = types.SimpleNamespace(logged_in=False)


class ResultData:
    """Result set: ``error_code``/``error_msg``, ``fields``, ``data`` (rows of text)."""

    def __init__(self, error_code=BSERR_SUCCESS, error_msg="success", fields=(), data=()):
        self.error_code = error_code
        self.error_msg = error_msg
        self.fields = list(fields)
        self.data = [list(row) for row in data]
        self.cur_row_num = 0
        self.cur_page_num = "1"
        self.per_page_count = PER_PAGE_COUNT
        self.method = ""
        self.user_id = "anonymous"

    def next(self):
        return self.cur_row_num < len(self.data)

    def get_row_data(self):
        if self.cur_row_num < len(self.data):
            row = self.data[self.cur_row_num]
            self.cur_row_num += 1
            return row
        return []

    def get_data(self):
        if not self.data:
            return pd.DataFrame()
        return pd.DataFrame(self.data, columns=self.fields)

    def __repr__(self):
        return f"<ResultData error_code={self.error_code!r} rows={len(self.data)}>"


def result(rows=(), fields=(), *, error_code=BSERR_SUCCESS, error_msg="success") -> ResultData:
    """A result set; cells are turned into text ("" for missing) as the real client sends them."""

    def text(value):
        if value is None or (isinstance(value, float) and pd.isna(value)):
            return ""
        return str(value)

    return ResultData(error_code, error_msg, fields, [[text(v) for v in row] for row in rows])


def from_frame(df: pd.DataFrame, **kw) -> ResultData:
    return result(df.itertuples(index=False, name=None), list(df.columns), **kw)


def constituents(codes, names=None, *, update_date="2024-06-24") -> ResultData:
    """A constituent result set (fields updateDate, code, code_name)."""
    names = list(names) if names is not None else [f"名称{i}" for i in range(len(codes))]
    return result([[update_date, c, n] for c, n in zip(codes, names)], ["updateDate", "code", "code_name"])


def k_data(n=5, start="2024-01-02", fields="date,open,high,low,close,volume", **kw) -> ResultData:
    """A history result set in the requested fields, values as text."""
    wanted = fields.split(",")
    rows = []
    for row in frames.ohlcv_rows(n, start, **kw):
        row = dict(row, date=f"{row['date']:%Y-%m-%d}")
        rows.append([row[f] for f in wanted])
    return result(rows, wanted)


def _login(_obj, _a):
    state.logged_in = True
    return result(error_msg="success")


def _logout(_obj, _a):
    state.logged_in = False
    return result(error_msg="success")


class _Query(Scripted):
    """A query: refused while logged out; a scripted table becomes a result set."""

    def answer(self, obj, arguments):
        if not state.logged_in:
            return result(error_code=BSERR_NO_LOGIN, error_msg="you don't login.")
        reply = super().answer(obj, arguments)
        if isinstance(reply, pd.DataFrame):
            reply = from_frame(reply)
        return reply


module = lib.module("baostock", __version__="0.9.4")
module.login = Scripted(lib, "login", "user_id='anonymous', password='123456'", default=_login)
module.logout = Scripted(lib, "logout", "user_id='anonymous'", default=_logout)
module.query_history_k_data_plus = _Query(
    lib, "query_history_k_data_plus", "code, fields, start_date=None, end_date=None, frequency='d', adjustflag='3'", key="code"
)
for _name in ("query_sz50_stocks", "query_hs300_stocks", "query_zz500_stocks"):
    setattr(module, _name, _Query(lib, _name, "date=''"))

lib.module("baostock.data", package=True)
lib.module("baostock.data.resultset", ResultData=ResultData)
