"""An HTTP stand-in for the market-data service on loopback.

GET <prefix>/api/stock/{priceBars,orderFlow,foreign,dealerDesk,diviend}
    ?ticker=..&fromDate=YYYY-MM-DD&toDate=YYYY-MM-DD
with "Authorization: Bearer <token>". Answers 401 without a known token,
404 for an unknown path or ticker, 400 for unreadable dates, otherwise 200
with a JSON list of records.

Connections are kept open between requests (HTTP/1.1 keep-alive), so that
clients that reuse them can be seen doing so (``connections_accepted``).
"""

import json
import socket
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Iterable, List, Optional
from urllib.parse import parse_qs, urlsplit

from . import data
from .data import TICKERS

DEMO_TOKEN = "demo-token"

_SERIES = {
    "/api/stock/priceBars": data.price_bars,
    "/api/stock/orderFlow": data.order_flow,
    "/api/stock/foreign": data.foreign,
    "/api/stock/dealerDesk": data.dealer_desk,
}
_DIVIDENDS = "/api/stock/diviend"


class _Handler(BaseHTTPRequestHandler):
    server: "_Server"
    # Keep-alive: every answer carries its Content-Length, so the client
    # knows where it ends and can send the next request on the connection.
    protocol_version = "HTTP/1.1"
    # The head and the body leave in two writes. With Nagle's algorithm the
    # body would wait for the ACK of the head, which the client delays
    # (about 40 ms on Linux) on a connection that is kept open.
    disable_nagle_algorithm = True
    # An idle kept-open connection is closed after this many seconds.
    timeout = 60

    def do_GET(self) -> None:  # noqa: N802 (the handler's own name)
        self.server.count_request()
        if self.server.delay:
            time.sleep(self.server.delay)  # a distant or busy service
        if self.headers.get("Content-Length", "0").strip() not in ("", "0") or \
                "Transfer-Encoding" in self.headers:
            # A body this service does not read would be taken for the next
            # request on the connection: answer, then close.
            self.close_connection = True
        parts = urlsplit(self.path)
        if self.headers.get("Authorization", "") not in self.server.authorizations:
            return self._send(401, {"error": "missing or unknown bearer token"})
        path = parts.path
        if not path.startswith(self.server.prefix):
            return self._send(404, {"error": "unknown path"})
        path = path[len(self.server.prefix):]
        if path not in _SERIES and path != _DIVIDENDS:
            return self._send(404, {"error": "unknown path"})
        query = parse_qs(parts.query)
        ticker = query.get("ticker", [""])[0]
        if ticker not in TICKERS:
            return self._send(404, {"error": f"unknown ticker {ticker!r}"})
        start = data.parse_day(query.get("fromDate", [""])[0])
        end = data.parse_day(query.get("toDate", [""])[0])
        if start is None or end is None:
            return self._send(400, {"error": "fromDate and toDate must be YYYY-MM-DD"})
        if path == _DIVIDENDS:
            return self._send(200, data.dividends(ticker, start, end))
        return self._send(200, _SERIES[path](ticker, data.trading_days(start, end)))

    def _send(self, status: int, body: object) -> None:
        payload = json.dumps(body, ensure_ascii=False).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json; charset=utf-8")
        self.send_header("Content-Length", str(len(payload)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(payload)

    def log_message(self, format: str, *args: object) -> None:
        if self.server.verbose:
            super().log_message(format, *args)


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    authorizations: frozenset
    prefix: str
    verbose: bool
    delay: float

    def __init__(self, *args: object, **kwargs: object) -> None:
        super().__init__(*args, **kwargs)
        self._lock = threading.Lock()
        self._open: set = set()
        self.connections_accepted = 0
        self.requests_served = 0
        self.arrivals: list = []

    def count_request(self) -> None:
        with self._lock:
            self.requests_served += 1
            self.arrivals.append(time.monotonic())

    def process_request(self, request: socket.socket, client_address: object) -> None:
        with self._lock:
            self.connections_accepted += 1
            self._open.add(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request: socket.socket) -> None:
        with self._lock:
            self._open.discard(request)
        super().shutdown_request(request)

    def close_connections(self) -> None:
        """Ends the connections still open: their threads see the end of
        input and finish."""
        with self._lock:
            still_open = list(self._open)
        for request in still_open:
            try:
                request.shutdown(socket.SHUT_RDWR)
            except OSError:  # closed meanwhile
                pass


class SampleService:
    """The sample service on 127.0.0.1, serving from a background thread.

    ``port=0`` picks a free port; ``url`` is the address to give the client.
    ``delay``: seconds each request waits before it is answered, as it would
    on a distant or busy service.
    """

    def __init__(self, port: int = 0, tokens: Iterable[str] = (DEMO_TOKEN,),
                 prefix: str = "", verbose: bool = False, delay: float = 0.0) -> None:
        self._server = _Server(("127.0.0.1", port), _Handler)
        self._server.delay = delay
        self._server.authorizations = frozenset(f"Bearer {t}" for t in tokens)
        self._server.prefix = prefix.rstrip("/")
        self._server.verbose = verbose
        self._thread: Optional[threading.Thread] = None

    @property
    def connections_accepted(self) -> int:
        """TCP connections accepted so far."""
        return self._server.connections_accepted

    @property
    def delay(self) -> float:
        """Seconds each request waits before it is answered; may be changed
        while the service runs."""
        return self._server.delay

    @delay.setter
    def delay(self, seconds: float) -> None:
        self._server.delay = seconds

    @property
    def connections_open(self) -> int:
        """TCP connections accepted and not yet closed by either side; a
        connection the client closed counts until the service has seen the
        end of its input."""
        with self._server._lock:
            return len(self._server._open)

    @property
    def requests_served(self) -> int:
        """GET requests received so far."""
        return self._server.requests_served

    @property
    def arrivals(self) -> List[float]:
        """When each GET request was received, by ``time.monotonic()``."""
        with self._server._lock:
            return list(self._server.arrivals)

    @property
    def url(self) -> str:
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}{self._server.prefix}"

    def start(self) -> "SampleService":
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        self._server.shutdown()
        self._server.server_close()
        self._server.close_connections()
        if self._thread is not None:
            self._thread.join()

    def __enter__(self) -> "SampleService":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()
