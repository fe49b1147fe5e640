"""Beyond one process: a Connection that pickles, against the sample
service on 127.0.0.1."""

import base64
import copy
import pickle

import pandas as pd

import quorvane.process_stock.priceBars as pb
import sample_service
from conftest import in_child
from quorvane.process_client import Connection, use_connection

ARGS = ("2024-03-01", "2024-03-31", "W")


# ---- a Connection that pickles -----------------------------------------------------

def test_a_pickled_connection_works_in_another_process(sample, tmp_path):
    connection = Connection(timeout=(3.05, 30), retries=2, backoff=0.1, max_wait=5, pool_size=4,
                            cache=tmp_path / "answers", cache_expiry=60, rate_limit=(50, 1))
    with use_connection(connection):
        expected = pb.get_priceBars("HPX", *ARGS)  # now in the cache
    data = pickle.dumps(connection)
    assert sample_service.DEMO_TOKEN.encode() not in data
    for copied in (copy.copy(connection), copy.deepcopy(connection)):
        assert copied is not connection and repr(copied) == repr(connection)
        assert copied.cache_info().entries == 1
        copied.close()
        assert not connection.closed
    served = sample.requests_served
    # Neither logged in nor told the address of the service: only the
    # cache can answer, as it does for the same address.
    report = in_child(f"""
        import base64, json, pickle
        from quorvane.process_client import use_connection
        from quorvane.process_stock import priceBars
        priceBars.base_url = {sample.url!r}
        connection = pickle.loads(base64.b64decode({base64.b64encode(data)!r}))
        with use_connection(connection):
            table = priceBars.get_priceBars("HPX", *{ARGS!r})
        print(json.dumps([repr(connection), base64.b64encode(pickle.dumps(table)).decode()]))
    """)
    assert report[0] == repr(connection)
    pd.testing.assert_frame_equal(pickle.loads(base64.b64decode(report[1])), expected)
    assert sample.requests_served == served
