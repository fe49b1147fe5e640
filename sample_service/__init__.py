"""A small stand-in for the market-data service, for the demo and for trying
the package out on loopback. Run it with ``python -m sample_service``."""

from .service import DEMO_TOKEN, TICKERS, SampleService

__all__ = ["DEMO_TOKEN", "TICKERS", "SampleService"]
