"""The sample service keeps connections open: every answer, errors included,
says where it ends, and stopping the service ends the connections."""

import http.client
import json

import pytest

import sample_service

TOKEN = {"Authorization": "Bearer " + sample_service.DEMO_TOKEN}
BARS = "/api/stock/priceBars?ticker=HPX&fromDate=2024-03-01&toDate=2024-03-08"


@pytest.fixture
def opened():
    """The service, and one connection to it."""
    with sample_service.SampleService() as service:
        port = int(service.url.rsplit(":", 1)[1])
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
        yield service, connection
        connection.close()


def test_answers_share_one_kept_open_connection(opened):
    service, connection = opened
    answers = []
    for path, headers in [(BARS, TOKEN), (BARS, {}),  # 401
                          ("/api/stock/nothing?ticker=HPX", TOKEN),  # 404
                          ("/api/stock/diviend?ticker=HPX&fromDate=x", TOKEN),  # 400
                          (BARS.replace("priceBars", "foreign"), TOKEN)]:
        connection.request("GET", path, headers=headers)
        response = connection.getresponse()
        body = response.read()
        assert int(response.getheader("Content-Length")) == len(body)
        assert response.getheader("Connection") is None
        answers.append((response.status, len(json.loads(body))))
    assert answers == [(200, 6), (401, 1), (404, 1), (400, 1), (200, 6)]
    assert (service.connections_accepted, service.requests_served) == (1, 5)


def test_a_request_body_closes_the_connection(opened):
    # The service does not read bodies; keeping the connection would make
    # the body's bytes the next request.
    service, connection = opened
    connection.request("GET", BARS, body=b"GET / HTTP/1.1\r\n\r\n", headers=TOKEN)
    response = connection.getresponse()
    assert response.status == 200 and response.getheader("Connection") == "close"
    response.read()
    connection.close()
    assert service.requests_served == 1


def test_stopping_ends_kept_open_connections(opened):
    service, connection = opened
    connection.request("GET", BARS, headers=TOKEN)
    connection.getresponse().read()
    service.stop()
    # The connection's thread has ended: the socket reads the end of input.
    assert connection.sock.recv(1) == b""
