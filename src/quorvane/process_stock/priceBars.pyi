from datetime import datetime as datetime
from types import ModuleType

import pandas

from quorvane.config.config import base_url as base_url
from quorvane.process_client.login import Client as Client

requests: ModuleType
pd = pandas
__test__: dict[str, object]

def get_priceBars(ticker: str, fromDate: str, toDate: str, period: str) -> pandas.DataFrame: ...
