"""Client of the central data hub.

The hub serves ready-made market answers (index quote tables, index
histories, market overviews) so that many processes need not ask the
outside sources themselves. It is reached over HTTP at the address in
VEMRA_CENTRAL_HUB_URL, read at each call; without that setting, or when
the hub fails, every function answers None and the caller asks its own
providers.

Routes, all GET with JSON answers:
- <url>/market/indices   -> a list of rows (or {"data": [...]})
- <url>/market/history   -> {index name: [rows], ..., "fetch_time": text}
- <url>/market/overview  -> {"cn_indices": [rows], ..., "fetch_time": text}
"""

import logging
import os
from typing import Any, Dict, Optional

log = logging.getLogger(__name__)

_DEFAULT_TIMEOUT = 5.0


def _hub_url() -> Optional[str]:
    url = os.environ.get("VEMRA_CENTRAL_HUB_URL", "").strip()
    return url.rstrip("/") or None


def _timeout() -> float:
    try:
        return float(os.environ.get("VEMRA_CENTRAL_HUB_TIMEOUT", "") or _DEFAULT_TIMEOUT)
    except ValueError:
        return _DEFAULT_TIMEOUT


def _get(route: str, params: Dict[str, Any]) -> Any:
    """Parsed JSON of one hub route, or None (not configured, or failed)."""
    base = _hub_url()
    if base is None:
        return None
    query = {k: (str(v).lower() if isinstance(v, bool) else v)
             for k, v in params.items() if v is not None}
    try:
        import requests
        resp = requests.get(f"{base}/{route}", params=query, timeout=_timeout())
        resp.raise_for_status()
        return resp.json()
    except Exception as e:  # the hub is optional: its failure only means "no answer"
        log.warning("central hub %s failed: %s", route, e)
        return None


def _table(rows):
    import pandas as pd
    return pd.DataFrame(rows)


def _tables_in(mapping: Dict[str, Any]) -> Dict[str, Any]:
    """Lists of rows become tables; other members pass unchanged."""
    return {k: (_table(v) if isinstance(v, list) else v) for k, v in mapping.items()}


def fetch_market_indices_from_central_hub(*, market: str = "cn", as_of_date: Optional[str] = None,
                                          refresh_cache: bool = False, use_snapshot: bool = False):
    """Index quote table of a market ("cn", "hk" or "global"), or None."""
    data = _get("market/indices", {"market": market, "as_of_date": as_of_date,
                                   "refresh_cache": refresh_cache, "use_snapshot": use_snapshot})
    if isinstance(data, dict):
        data = data.get("data")
    if not isinstance(data, list) or not data:
        return None
    return _table(data)


def fetch_market_history_from_central_hub(*, days: int = 10, market: str = "cn",
                                          refresh_cache: bool = False):
    """Index display name -> history table (plus "fetch_time"), or None."""
    data = _get("market/history", {"days": days, "market": market, "refresh_cache": refresh_cache})
    if not isinstance(data, dict) or not data:
        return None
    return _tables_in(data)


def fetch_market_overview_from_central_hub(*, include_global: bool = False, include_hk: bool = False,
                                           as_of_date: Optional[str] = None, refresh_cache: bool = False,
                                           use_snapshot: bool = False):
    """Market overview mapping with its tables, or None."""
    data = _get("market/overview", {"include_global": include_global, "include_hk": include_hk,
                                    "as_of_date": as_of_date, "refresh_cache": refresh_cache,
                                    "use_snapshot": use_snapshot})
    if not isinstance(data, dict) or "cn_indices" not in data:
        return None
    return _tables_in(data)
