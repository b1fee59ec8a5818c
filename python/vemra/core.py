"""Core services of vemra: source and period enumerations, the facade base
``OHLC``, pacing, data files, the trading clock, bar cleaning, Tiingo and
LongPort access, and the bar entries. Settings are read from the environment
at call time; importing this module does not load pandas."""

import contextlib
import importlib
import importlib.util
import json
import logging
import os
import re
import sys
import tempfile
import threading
import time
import weakref
from abc import ABCMeta, abstractmethod
from datetime import date, datetime, timedelta
from datetime import time as dtime
from enum import Enum
from typing import Any, Dict, List, Optional, Tuple

log = logging.getLogger(__name__)

_DIR_MODE = 0o700
_FILE_MODE = 0o600


# ---------------------------------------------------------------- enumerations

class _LowerCaseLookup(Enum):
    @classmethod
    def _missing_(cls, value):
        # Accept any letter case and surrounding blanks, and the member name.
        if isinstance(value, str):
            text = value.strip().lower()
            for member in cls:
                if member.value == text or member.name.lower() == text:
                    return member
        return None


class DownloadProvider(_LowerCaseLookup):
    """Data sources; the value names the source in tables, caches and logs."""
    AUTO = "auto"
    MOOTDX = "mootdx"
    BAOSTOCK = "baostock"
    AKSHARE = "akshare"
    EFINANCE = "efinance"
    TENCENT = "tencent"
    LONGPORT = "longport"
    TIINGO = "tiingo"
    YFINANCE = "yfinance"
    FUTU = "futu"
    STOCK_HK_HIST = "stock_hk_hist"
    STOCK_HK_DAILY = "stock_hk_daily"
    STOCK_US_HIST = "stock_us_hist"
    STOCK_US_DAILY = "stock_us_daily"


class Period(_LowerCaseLookup):
    """Bar periods; the value is the short form used in cache file names."""
    DAILY = "d"
    WEEKLY = "w"


_PERIOD_ALIASES = {"day": "d", "daily": "d", "1d": "d", "week": "w", "weekly": "w", "1w": "w"}


# ---------------------------------------------------------------- facade base

class OHLCMeta(ABCMeta):
    """Metaclass of the bar facades; remembers each concrete facade by name
    so the bar entries can find it without importing the market module."""

    registry: "weakref.WeakValueDictionary[str, type]" = weakref.WeakValueDictionary()

    def __new__(mcls, name, bases, namespace, **kwargs):
        cls = super().__new__(mcls, name, bases, namespace, **kwargs)
        if bases and not cls.__abstractmethods__:
            mcls.registry[name] = cls
        return cls


class OHLC(metaclass=OHLCMeta):
    """Base class of the bar facades (AStock, ETF, HK, USA)."""

    def __init__(self, download_provider: DownloadProvider = DownloadProvider.AUTO):
        self.download_provider = download_provider

    @abstractmethod
    def get_k_data(self, stock_code, start_date, end_date, period=Period.DAILY,
                   download_provider=None, storage_symbol=None):
        """Daily or weekly bars of one instrument, indexed by "Date"."""


# ---------------------------------------------------------------- pacing

# Least gap in seconds between two calls of one source.
_MIN_INTERVALS: Dict[str, float] = {
    "eastmoney": 0.5, "tencent": 0.2, "mootdx": 0.05, "yfinance": 0.5,
    "longport": 0.1, "tiingo": 0.2, "akshare": 0.3, "baostock": 0.1,
    "efinance": 0.3,
}
_DEFAULT_MIN_INTERVAL = 0.1


def _env_flag(name: str) -> bool:
    return os.environ.get(name, "").strip().lower() in ("1", "true", "yes", "on")


class _Slot:
    __slots__ = ("lock", "next_at", "backoff_until")

    def __init__(self):
        self.lock = threading.Lock()
        self.next_at = 0.0
        self.backoff_until = 0.0


class ProviderPacer:
    """Spaces the calls of each source; sources do not wait for each other.

    A caller books the next free start time under the source's lock and
    sleeps after releasing it, so nested or concurrent calls never deadlock.
    Set VEMRA_PACING_DISABLED=1 to switch the waits off.
    """

    def __init__(self):
        self._guard = threading.Lock()
        self._slots: Dict[str, _Slot] = {}

    @staticmethod
    def _key(key) -> str:
        return str(getattr(key, "value", key)).strip().lower()

    def _slot(self, key: str) -> _Slot:
        with self._guard:
            slot = self._slots.get(key)
            if slot is None:
                slot = self._slots[key] = _Slot()
            return slot

    def _book(self, key: str) -> float:
        interval = _MIN_INTERVALS.get(key, _DEFAULT_MIN_INTERVAL)
        slot = self._slot(key)
        with slot.lock:
            now = time.monotonic()
            start = max(now, slot.next_at, slot.backoff_until)
            slot.next_at = start + interval
        return start - now

    @contextlib.contextmanager
    def limit(self, key):
        if not _env_flag("VEMRA_PACING_DISABLED"):
            wait = self._book(self._key(key))
            if wait > 0:
                time.sleep(wait)
        yield

    def backoff(self, key, seconds: float) -> None:
        slot = self._slot(self._key(key))
        with slot.lock:
            slot.backoff_until = max(slot.backoff_until, time.monotonic() + seconds)


global_pacer = ProviderPacer()


def rate_limited_provider_call(key):
    """Context around one outgoing request of the source `key`."""
    return global_pacer.limit(key)


def record_provider_backoff(key, backoff_seconds: float = 1.0) -> None:
    """Hold back later calls of `key` for `backoff_seconds`; never raises,
    since callers use it while handling another error."""
    try:
        seconds = float(backoff_seconds)
        if seconds > 0:
            global_pacer.backoff(key, seconds)
    except Exception as e:  # a bad argument must not hide the caller's error
        log.debug("record_provider_backoff(%r, %r) ignored: %s", key, backoff_seconds, e)


# Base cool-down of a source after a failure, in seconds.
_FAILURE_TIMEOUTS: Dict[str, float] = {"mootdx": 120.0, "tencent": 300.0, "tiingo": 600.0}
_DEFAULT_FAILURE_TIMEOUT = 300.0


def get_failure_timeout(provider) -> timedelta:
    """Base cool-down of a source (member or value text) after a failure."""
    key = ProviderPacer._key(provider)
    return timedelta(seconds=_FAILURE_TIMEOUTS.get(key, _DEFAULT_FAILURE_TIMEOUT))


# ---------------------------------------------------------------- files

def get_data_dir() -> str:
    """The data directory (VEMRA_DATA_DIR, default ~/.vemra/data), created if missing."""
    path = os.path.expanduser(os.environ.get("VEMRA_DATA_DIR", "").strip() or "~/.vemra/data")
    os.makedirs(path, mode=_DIR_MODE, exist_ok=True)
    return path


def ensure_parent_dir(path: str) -> str:
    parent = os.path.dirname(os.path.abspath(path))
    os.makedirs(parent, mode=_DIR_MODE, exist_ok=True)
    return parent


def restrict_file_permissions(path: str) -> None:
    """Owner-only access: the files can hold account data and API answers."""
    os.chmod(path, _DIR_MODE if os.path.isdir(path) else _FILE_MODE)


def save_json_atomic(path: str, data: Any, *, indent: Optional[int] = None) -> None:
    """Replace `path` whole with the JSON of `data`; readers never see half a file."""
    parent = ensure_parent_dir(path)
    fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp", dir=parent)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as fh:
            json.dump(data, fh, ensure_ascii=False, indent=indent)
            fh.flush()
            os.fsync(fh.fileno())
        os.replace(tmp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def load_json_robust(path: str) -> Any:
    """The JSON content of `path`; {} when the file is missing, empty or damaged."""
    try:
        with open(path, "r", encoding="utf-8") as fh:
            text = fh.read()
        return json.loads(text) if text.strip() else {}
    except FileNotFoundError:
        return {}
    except (OSError, ValueError) as e:  # ValueError covers bad JSON and bad UTF-8
        log.warning("Unreadable or damaged JSON in %s ignored: %s", path, e)
        return {}


def _json_default(obj):
    if isinstance(obj, (datetime, date)):
        return obj.isoformat()
    if isinstance(obj, Enum):
        return obj.value
    if hasattr(obj, "to_dict") and hasattr(obj, "columns"):  # a table
        return json.loads(obj.to_json(orient="records", date_format="iso", force_ascii=False))
    if hasattr(obj, "tolist"):  # numpy arrays, series and scalars
        return obj.tolist()
    if hasattr(obj, "isoformat"):
        return obj.isoformat()
    raise TypeError(f"Object of type {type(obj).__name__} is not JSON serializable")


def vemra_to_json(obj: Any, **kwargs) -> str:
    """JSON text of vemra values: tables, numpy values, dates and enumerations."""
    kwargs.setdefault("ensure_ascii", False)
    return json.dumps(obj, default=_json_default, **kwargs)


def csv_storage_symbol(symbol: str) -> str:
    """A symbol made safe as part of a file name ("sh.600000" -> "sh_600000")."""
    return re.sub(r"[^0-9A-Za-z_\-]", "_", str(symbol).strip())


def data_file_path(symbol: str, start_date: str, end_date: str,
                   period: Period = Period.DAILY, ext: str = "csv") -> str:
    """<data dir>/<symbol>_<start>_<end>_<period>.<ext>"""
    name = f"{csv_storage_symbol(symbol)}_{start_date}_{end_date}_{Period(period).value}.{ext}"
    return os.path.join(get_data_dir(), name)


_CACHE_FOLDERS = ("", "market", "indices", "market_cache")


def _cached_files(key: str, period) -> List[Tuple[str, str, str]]:
    """(path, first date, last date) of every cache file of `key` and `period`."""
    base = get_data_dir()
    pattern = re.compile(re.escape(key) + r"_(\d{4}-\d{2}-\d{2})_(\d{4}-\d{2}-\d{2})_"
                         + re.escape(Period(period).value) + r"\.(?:parquet|csv)$")
    found = []
    for sub in _CACHE_FOLDERS:
        folder = os.path.join(base, sub)
        if not os.path.isdir(folder):
            continue
        for name in os.listdir(folder):
            m = pattern.fullmatch(name)
            if m:
                found.append((os.path.join(folder, name), m.group(1), m.group(2)))
    found.sort(key=lambda item: os.path.getmtime(item[0]), reverse=True)
    return found


def find_cached_file_containing_range(key: str, start_date: str, end_date: str,
                                      period: Period = Period.DAILY) -> Optional[str]:
    """Newest cache file of `key` whose dates cover start..end, or None."""
    for path, first, last in _cached_files(key, period):
        if first <= start_date and last >= end_date:
            return path
    return None


def find_best_extensible_cache(key: str, start_date: str, end_date: str,
                               period: Period = Period.DAILY) -> Optional[Tuple[str, str, str]]:
    """A cache file that starts early enough and needs only its tail fetched:
    (path, first date, last date) of the one reaching furthest, or None."""
    best = None
    for path, first, last in _cached_files(key, period):
        if first <= start_date and last >= start_date and (best is None or last > best[2]):
            best = (path, first, last)
    return best


def is_usable_cache_csv(path: str, min_rows: int = 1) -> bool:
    """True for a readable bar CSV with a close column and enough rows."""
    if not path or not os.path.isfile(path) or os.path.getsize(path) == 0:
        return False
    try:
        import pandas as pd
        df = pd.read_csv(path)
    except Exception as e:
        log.debug("Unusable cache %s: %s", path, e)
        return False
    return len(df) >= min_rows and "close" in {str(c).lower() for c in df.columns}


def is_cache_fresh(path: str, max_age_seconds: float = 6 * 3600) -> bool:
    try:
        return time.time() - os.path.getmtime(path) < max_age_seconds
    except OSError:
        return False


def fetch_daily_prices_json(ticker: str, start_date: str, end_date: str,
                            timeout: float = 15.0) -> List[Dict[str, Any]]:
    """Daily price records of a US ticker from Tiingo; [] when there are none.

    Tokens rotate: a refused or rate-limited token makes way for the next one.
    """
    import requests
    tokens = tiingo_token_manager.tokens()
    if not tokens:
        raise RuntimeError("Tiingo is not configured: set TIINGO_API_KEYS")
    url = f"https://api.tiingo.com/tiingo/daily/{ticker.strip().lower()}/prices"
    errors = []
    for _ in range(len(tokens)):
        token = tiingo_token_manager.next_token()
        resp = requests.get(url, params={"startDate": start_date, "endDate": end_date,
                                         "token": token, "format": "json"}, timeout=timeout)
        if resp.status_code in (401, 403, 429):
            errors.append(f"HTTP {resp.status_code}")
            continue
        if resp.status_code == 404:
            raise RuntimeError(f"NO_DATA: tiingo does not know {ticker}")
        resp.raise_for_status()
        data = resp.json()
        return list(data) if data else []
    raise RuntimeError("Tiingo refused every token: " + "; ".join(errors))


class TiingoTokenManager:
    """Round-robin over the comma-separated tokens of TIINGO_API_KEYS."""

    def __init__(self):
        self._lock = threading.Lock()
        self._next = 0

    @staticmethod
    def tokens() -> List[str]:
        raw = os.environ.get("TIINGO_API_KEYS", "") or os.environ.get("TIINGO_API_KEY", "")
        return [t.strip() for t in raw.split(",") if t.strip()]

    def next_token(self) -> str:
        tokens = self.tokens()
        if not tokens:
            raise RuntimeError("Tiingo is not configured: set TIINGO_API_KEYS")
        with self._lock:
            token = tokens[self._next % len(tokens)]
            self._next += 1
        return token


tiingo_token_manager = TiingoTokenManager()


def _longport_installed() -> bool:
    try:
        return importlib.util.find_spec("longport") is not None
    except (ImportError, ValueError):
        return False


LONGPORT_AVAILABLE = _longport_installed()


class LongPortClient:
    """Lazily built, process-wide LongPort quote context (credentials from
    the LONGPORT_* environment variables)."""

    def __init__(self):
        self._lock = threading.Lock()
        self._context = None

    @property
    def context(self):
        with self._lock:
            if self._context is None:
                try:
                    from longport.openapi import Config, QuoteContext
                except ImportError as e:
                    raise RuntimeError("longport-openapi SDK is not installed") from e
                self._context = QuoteContext(Config.from_env())
            return self._context


longport_client = LongPortClient()


# ---------------------------------------------------------------- logging

_LOG_FORMAT = "%(asctime)s %(levelname)s [%(name)s] %(message)s"


def ensure_vemra_logging(level=None) -> logging.Logger:
    """Give the "vemra" logger one console handler (once); level from
    the argument, else VEMRA_LOG_LEVEL, else INFO."""
    logger = logging.getLogger("vemra")
    if not any(getattr(h, "_vemra_handler", False) for h in logger.handlers):
        handler = logging.StreamHandler()
        handler.setFormatter(logging.Formatter(_LOG_FORMAT))
        handler._vemra_handler = True
        logger.addHandler(handler)
    level = level or os.environ.get("VEMRA_LOG_LEVEL", "").strip().upper() or "INFO"
    logger.setLevel(level)
    return logger


def init_log(level=None) -> logging.Logger:
    return ensure_vemra_logging(level)


def init_env(path: Optional[str] = None) -> Dict[str, str]:
    """Load KEY=VALUE lines of a .env file (default: next to the data
    directory) without overriding what is set; returns what it set."""
    path = path or os.path.join(os.path.dirname(get_data_dir()), ".env")
    if not os.path.isfile(path):
        return {}
    with open(path, encoding="utf-8") as fh:
        pairs = [ln.split("=", 1) for ln in map(str.strip, fh) if "=" in ln and not ln.startswith("#")]
    loaded = {k.strip(): v.strip().strip("'\"") for k, v in pairs if k.strip() not in os.environ}
    os.environ.update(loaded)
    return loaded


# ---------------------------------------------------------------- trading clock

# Market word -> (time zone, end of the day's trading).
_MARKETS = {
    "cn": ("Asia/Shanghai", dtime(15, 0)),
    "hk": ("Asia/Hong_Kong", dtime(16, 10)),
    "us": ("America/New_York", dtime(16, 0)),
}
_MARKET_ALIASES = {"usa": "us", "global": "us", "us_stock": "us", "hkex": "hk",
                   "a": "cn", "astock": "cn", "a_stock": "cn", "sh": "cn", "sz": "cn", "bj": "cn"}


def _market_key(market) -> str:
    text = str(market or "cn").strip().lower()
    text = _MARKET_ALIASES.get(text, text)
    return text if text in _MARKETS else "cn"


def _now(tz_name: str) -> datetime:
    """Current time in a zone; the one place the clock is read."""
    from zoneinfo import ZoneInfo
    return datetime.now(ZoneInfo(tz_name))


def _is_trading_day(day: date) -> bool:
    # Weekends only: exchange holidays are not known here.
    return day.weekday() < 5


def _previous_trading_day(day: date) -> date:
    day -= timedelta(days=1)
    while not _is_trading_day(day):
        day -= timedelta(days=1)
    return day


def _market_now(market) -> Tuple[datetime, dtime]:
    tz_name, close = _MARKETS[_market_key(market)]
    return _now(tz_name), close


def is_market_closed(market="cn") -> bool:
    """True once today's session is over, or when there is none today."""
    now, close = _market_now(market)
    return not _is_trading_day(now.date()) or now.time() >= close


def _logical_day(market) -> date:
    now, close = _market_now(market)
    today = now.date()
    if _is_trading_day(today) and now.time() >= close:
        return today
    return _previous_trading_day(today)


def get_logical_date(market="cn") -> str:
    """Last trading day whose session is over, as "YYYYMMDD"."""
    return _logical_day(market).strftime("%Y%m%d")


def default_ohlc_end_date(market="cn") -> str:
    return _logical_day(market).strftime("%Y-%m-%d")


def get_default_start_date(days: int = 365) -> str:
    """Start of bar requests that name none: a year before today (Shanghai)."""
    return (_now(_MARKETS["cn"][0]).date() - timedelta(days=days)).strftime("%Y-%m-%d")


def _parse_date(value) -> date:
    if isinstance(value, datetime):
        return value.date()
    if isinstance(value, date):
        return value
    text = str(value).strip()
    for fmt in ("%Y-%m-%d", "%Y%m%d", "%Y/%m/%d"):
        try:
            return datetime.strptime(text, fmt).date()
        except ValueError:
            pass
    try:
        return datetime.fromisoformat(text).date()
    except ValueError:
        raise ValueError(f"Invalid date: {value!r} (expected YYYY-MM-DD or YYYYMMDD)") from None


def get_date_string_v2(value=None, fmt: str = "%Y-%m-%d") -> str:
    """A date-like value (default: today in Shanghai) as text in `fmt`."""
    day = _now(_MARKETS["cn"][0]).date() if value is None else _parse_date(value)
    return day.strftime(fmt)


def normalize_market_end_date(end_date=None, market="cn") -> str:
    """End date of a bar request as "YYYY-MM-DD": the logical trading date
    when none is given, today's market date at the latest."""
    if end_date is None or (isinstance(end_date, str) and not end_date.strip()):
        return default_ohlc_end_date(market)
    day = _parse_date(end_date)
    today = _market_now(market)[0].date()
    return min(day, today).strftime("%Y-%m-%d")


def is_cache_settled(end_date, market="cn") -> bool:
    """True when bars up to `end_date` can no longer change."""
    return _parse_date(end_date) <= _logical_day(market)


def ma_string(window: int) -> str:
    """Column name of a moving average over `window` bars."""
    return f"MA{int(window)}"


# ---------------------------------------------------------------- bars

_BAR_COLUMNS = ("open", "high", "low", "close", "volume", "amount")


def clean_ohlc_data(df):
    """Bars sorted by date, one row per date (the last kept), rows without a
    close dropped, price and volume columns as floats."""
    if df is None or len(df) == 0:
        return df
    import pandas as pd
    out = df.copy()
    if not isinstance(out.index, pd.DatetimeIndex):
        with contextlib.suppress(Exception):
            out.index = pd.to_datetime(out.index)
    name = out.index.name or "Date"
    for col in _BAR_COLUMNS:
        if col in out.columns:
            out[col] = pd.to_numeric(out[col], errors="coerce").astype("float64")
    if "close" in out.columns:
        out = out[out["close"].notna()]
    out = out.sort_index(kind="mergesort")
    out = out[~out.index.duplicated(keep="last")]
    out.index.name = name
    return out


def generate_weekly_vemra(df):
    """Weekly bars (weeks ending Friday) from daily bars whose dates are in a
    "Date" column (or the index); each week is dated by its last trading day."""
    import pandas as pd
    if df is None or len(df) == 0:
        return pd.DataFrame(columns=[c for c in _BAR_COLUMNS if df is not None and c in df.columns])
    daily = df.copy()
    if "Date" in daily.columns:
        daily = daily.set_index("Date")
    daily.index = pd.to_datetime(daily.index)
    daily = daily.sort_index()
    rules = {"open": "first", "high": "max", "low": "min", "close": "last",
             "volume": "sum", "amount": "sum"}
    rules = {c: r for c, r in rules.items() if c in daily.columns}
    daily["_last"] = daily.index
    weekly = daily.resample("W-FRI").agg({**rules, "_last": "max"})
    weekly = weekly[weekly["_last"].notna()]
    weekly.index = pd.DatetimeIndex(weekly.pop("_last"), name="Date")
    return weekly


# ---------------------------------------------------------------- codes and symbols

_SYMBOL_RE = re.compile(r"^[0-9A-Za-z.\-_^=]{1,32}$")


def strip_user_stock_code(code) -> str:
    """A code without blanks, quotes and market prefix or suffix."""
    text = str(code).strip().strip("'\"").strip()
    m = re.fullmatch(r"(?i)(sh|sz|bj|hk|us)[.:]?(\d{5,6})", text)
    if m:
        return m.group(2)
    m = re.fullmatch(r"(?i)(sh|sz|bj|hk|us)\.(.+)", text)
    if m:
        return m.group(2)
    m = re.fullmatch(r"(?i)(\d{5,6})\.(sh|ss|sz|bj|hk)", text)
    return m.group(1) if m else text


def is_a_stock_code(code) -> bool:
    """Six-digit A-share stock code (Shanghai, Shenzhen, Beijing)."""
    c = strip_user_stock_code(code)
    return bool(re.fullmatch(r"(60|68|00|30|43|83|87|92)\d{4}", c))


def is_etf_code(code) -> bool:
    """Six-digit listed fund code (ETF, LOF, closed-end fund)."""
    c = strip_user_stock_code(code)
    return bool(re.fullmatch(r"(50|51|52|56|58|15|16|18)\d{4}", c))


def _cn_exchange(code: str) -> str:
    if code[0] in "48" or code.startswith("92"):
        return "bj"
    return "sh" if code[0] in "569" else "sz"


def normalize_stock_code(code) -> str:
    """Instrument string "<market>.<code>": "600000" -> "sh.600000",
    "00700" -> "hk.00700", "aapl" -> "us.AAPL", "000001.SZ" -> "sz.000001"."""
    text = str(code).strip().strip("'\"").strip()
    m = re.fullmatch(r"(?i)(\d{6})\.(sh|ss|sz|bj)", text)
    if m:
        return ("sh" if m.group(2).lower() == "ss" else m.group(2).lower()) + "." + m.group(1)
    m = re.fullmatch(r"(?i)(sh|sz|bj|hk|us)[.:]?(.+)", text)
    if m and (m.group(2)[:1].isdigit() or "." in text[:3] or ":" in text[:3]):
        market, rest = m.group(1).lower(), m.group(2)
        return f"{market}.{rest.upper() if market in ('hk', 'us') else rest}"
    if re.fullmatch(r"\d{6}", text):
        return f"{_cn_exchange(text)}.{text}"
    if re.fullmatch(r"\d{1,5}", text):
        return "hk." + text.zfill(5)
    if re.fullmatch(r"[A-Za-z.\-^]+", text):
        return "us." + text.upper()
    return text


def infer_ohlc_market(symbol) -> str:
    """"cn", "hk" or "us" for a symbol."""
    prefix = normalize_stock_code(symbol).split(".", 1)[0]
    return {"hk": "hk", "us": "us"}.get(prefix, "cn")


def infer_ohlc_download_scope(symbol) -> str:
    """Facade that serves a symbol: "astock", "etf", "hk" or "usa"."""
    market = infer_ohlc_market(symbol)
    if market == "hk":
        return "hk"
    if market == "us":
        return "usa"
    return "etf" if is_etf_code(strip_user_stock_code(symbol)) else "astock"


def validate_ohlc_download_provider(provider) -> DownloadProvider:
    from .exceptions import VemraParamError
    if provider is None or provider == "":
        return DownloadProvider.AUTO
    try:
        return DownloadProvider(provider)
    except ValueError:
        raise VemraParamError(f"未知的数据源 (download_provider): {provider!r}") from None


def _enum_symbol(symbol) -> bool:
    return isinstance(symbol, Enum) or (hasattr(symbol, "name") and hasattr(symbol, "value")
                                        and not isinstance(symbol, str))


def validate_ohlc_symbol(symbol):
    """The normalised symbol; index members are returned as they are."""
    from .exceptions import VemraParamError
    if _enum_symbol(symbol):
        return symbol
    if not isinstance(symbol, str):
        raise VemraParamError(f"证券代码 (symbol) 必须是文本, 得到 {type(symbol).__name__}")
    text = symbol.strip().strip("'\"").strip()
    if not text:
        raise VemraParamError("证券代码 (symbol) 不能为空")
    if not _SYMBOL_RE.fullmatch(text):
        raise VemraParamError(f"证券代码 (symbol) 无效: {symbol!r}")
    # Prefixed or suffixed codes get the one instrument form; bare codes stay
    # bare, since "000001" alone may be an index or a stock.
    if re.fullmatch(r"(?i)(sh|sz|bj|hk|us)\..+|\d{6}\.(sh|ss|sz|bj)", text):
        return normalize_stock_code(text)
    return text


def validate_ohlc_period(period) -> Period:
    from .exceptions import VemraParamError
    if period is None:
        return Period.DAILY
    if isinstance(period, Period):
        return period
    text = str(getattr(period, "value", period)).strip().lower()
    try:
        return Period(_PERIOD_ALIASES.get(text, text))
    except ValueError:
        raise VemraParamError(f"不支持的周期 (period): {period!r}，可用 daily / weekly") from None


def validate_ohlc_date(value, name: str = "日期"):
    """A date (datetime.date) from text or a date value; None stays None."""
    from .exceptions import VemraParamError
    if value is None:
        return None
    if not isinstance(value, (str, date)):
        raise VemraParamError(f"{name} 类型无效: {type(value).__name__}")
    try:
        return _parse_date(value)
    except ValueError:
        raise VemraParamError(f"{name} 格式无效: {value!r}，应为 YYYY-MM-DD 或 YYYYMMDD") from None


_INDEX_NAMES = {"HSI", "HSTECH", "HSCEI", "HSCCI", "SPX", "INX", "DJI", "IXIC", "NDX", "RUT", "VIX"}


def is_index_symbol(symbol) -> bool:
    """True for an index: an index member, "sh.000xxx", "sz.399xxx",
    "bj.899xxx", a Hang Seng index or a US index ticker."""
    if _enum_symbol(symbol):
        return True
    text = str(symbol).strip()
    m = re.fullmatch(r"(?i)(sh|sz|bj|hk|us)\.(.+)", text)
    market, code = (m.group(1).lower(), m.group(2)) if m else ("", text)
    if market == "sh":
        return code.startswith("000") and len(code) == 6
    if market == "sz":
        return code.startswith("399")
    if market == "bj":
        return code.startswith("899")
    code = code.upper().lstrip("^.")
    return code in _INDEX_NAMES or (text[:1] in "^." and text[1:2].isalpha())


# ---------------------------------------------------------------- bar entries

_SCOPE_FACADE = {"astock": "AStock", "etf": "ETF", "hk": "HK", "usa": "USA"}


def _facade(name: str):
    cls = OHLCMeta.registry.get(name)
    if cls is None:
        try:
            cls = getattr(importlib.import_module("vemra.markets"), name, None)
        except ImportError as e:
            raise RuntimeError(f"vemra.markets cannot be imported, no {name} facade: {e}") from e
    if cls is None:
        raise RuntimeError(f"The market module does not provide the {name} facade")
    return cls


def _bars(code: str, scope: str, start_date, end_date, period, download_provider):
    market = {"hk": "hk", "usa": "usa"}.get(scope, "cn")
    start = get_default_start_date() if start_date is None else _parse_date(start_date).strftime("%Y-%m-%d")
    end = normalize_market_end_date(end_date, market)
    facade = _facade(_SCOPE_FACADE[scope])(download_provider=validate_ohlc_download_provider(download_provider))
    return facade.get_k_data(code, start, end, validate_ohlc_period(period))


def get_stock_ohlc(symbol, start_date=None, end_date=None, period=Period.DAILY,
                   download_provider=None, **kwargs):
    """Bars of a stock or fund through the facade of its market."""
    if kwargs:
        log.debug("get_stock_ohlc: options not used here: %s", sorted(kwargs))
    code = normalize_stock_code(symbol)
    return _bars(code, infer_ohlc_download_scope(code), start_date, end_date, period, download_provider)


def _index_member_code(member) -> str:
    """Instrument string of a headline-index member of the market module."""
    from .exceptions import VemraParamError
    table = getattr(sys.modules.get("vemra.markets"), "_MARKET_INDEX_CODE", None) or {}
    for key, code in table.items():
        if getattr(key, "name", key) == member.name:
            return code
    raise VemraParamError(f"未知的指数: {member!r}")


def get_index_ohlc(code, start_date=None, end_date=None, period=Period.DAILY,
                   download_provider=DownloadProvider.AUTO, raw_input=None,
                   skip_central_http=False, prefer_local=False):
    """Bars of an index ("sh.000300", "hk.HSI", "us.SPY"): A-share indices go
    through the A-share facade, others through their market's facade.
    `raw_input`, `skip_central_http` and `prefer_local` are accepted for
    callers that pass them; there is no hub or local store for bars here."""
    text = str(_index_member_code(code) if _enum_symbol(code) else code).strip()
    # A bare "000xxx" asked for as an index is the Shanghai one, not a Shenzhen stock.
    text = normalize_stock_code("sh." + text if re.fullmatch(r"000\d{3}", text) else text)
    market = infer_ohlc_market(text)
    scope = {"hk": "hk", "us": "usa"}.get(market, "astock")
    return _bars(text, scope, start_date, end_date, period, download_provider)


def _get_any_ohlc_impl(symbol, start_date=None, end_date=None, period=Period.DAILY, **kwargs):
    from .exceptions import VemraParamError
    validate_ohlc_symbol(symbol)
    period = validate_ohlc_period(period)
    s_d = validate_ohlc_date(start_date, name="起始日期 (start_date)")
    e_d = validate_ohlc_date(end_date, name="结束日期 (end_date)")
    if s_d and e_d and s_d > e_d:
        raise VemraParamError(f"起始日期 {s_d} 不能晚于结束日期 {e_d}")
    raw = kwargs.get("raw_input")
    target = str(raw).strip() if raw is not None and str(raw).strip() else symbol
    target = validate_ohlc_symbol(target)
    if is_index_symbol(target):
        kwargs.pop("raw_input", None)
        return get_index_ohlc(target, start_date, end_date, period, raw_input=raw, **kwargs)
    return get_stock_ohlc(target, start_date=start_date, end_date=end_date, period=period, **kwargs)


def get_any_ohlc(symbol, start_date=None, end_date=None, period=Period.DAILY, **kwargs):
    """Bars of any symbol: indices and stocks are routed to their entry."""
    return _get_any_ohlc_impl(symbol, start_date, end_date, period, **kwargs)
