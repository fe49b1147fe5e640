from types import ModuleType

import pandas

from quorvane.config.config import base_url as base_url
from quorvane.process_client.login import Client as Client

requests: ModuleType
pd = pandas
__test__: dict[str, object]

def get_dealerDesk(
    ticker: object, fromDate: object, toDate: object, period: str, unit: float
) -> pandas.DataFrame: ...
