"""Stock-market data from the quorvane service as pandas tables.

You need the address of your provider's service and an access token from
it. A first call::

    from quorvane.config import set_base_url
    from quorvane.process_client.login import Client
    from quorvane.process_stock.priceBars import get_priceBars

    set_base_url("https://your-provider.example")   # or QUORVANE_BASE_URL
    Client().login("your-access-token")              # once per process
    bars = get_priceBars("HPX", "2024-03-01", "2024-03-31", "D")

The packages:

``quorvane.process_stock``
    The five data functions, one module each: ``get_priceBars``,
    ``get_order_flow``, ``get_foreign``, ``get_dealerDesk``,
    ``get_dividend``. ``help(quorvane.process_stock)`` gives their
    parameters, the columns they return, the ``period`` rules of each
    pandas version, and their errors.
``quorvane.process_client``
    The login (``Client``), ``set_base_url``, time limits and retries
    (``use_connection``), many tickers at once (``fetch_many``), and how to
    tell the service's errors apart (``error.status_code``).
``quorvane.config``
    ``set_base_url`` and the current address (``config.base_url``), and
    the ``guard_access`` decorator, which refuses to run a function before
    a login.
"""

__version__ = "0.1.0"
