"""Stock-market data from the quorvane service as pandas tables.

Each market-data function lives in its own module under
``quorvane.process_stock``; log in first with
``quorvane.process_client.login.Client().login(token)``.
"""

__version__ = "0.1.0"
