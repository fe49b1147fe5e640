from types import ModuleType

import numpy
import pandas

from quorvane.config.config import base_url as base_url
from quorvane.process_client.login import Client as Client

requests: ModuleType
pd = pandas
np = numpy
__test__: dict[str, object]

def get_dividend(ticker: object, fromDate: object, toDate: object) -> pandas.DataFrame: ...
