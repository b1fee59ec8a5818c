"""vemra: market data for the Chinese A-share, Hong Kong and US markets.

Submodules:

- ``vemra.core``: shared services (enumerations, pacing, data directory,
  JSON files, trading clock, bar cleaning, Tiingo and LongPort access).
- ``vemra.markets``: the market-data extension module.
- ``vemra.central_hub``: client of the central data hub.
- ``vemra.exceptions``: the package's exception classes.
- ``vemra.offline``: discovery of a local TDX installation.

Importing the package itself loads nothing heavy; each submodule is
imported on demand.
"""
