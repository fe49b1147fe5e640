"""The result of ``fetch_many``: every ticker's table or error."""

import itertools
from typing import TYPE_CHECKING, Any, Dict, NamedTuple

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["FetchResult"]

# The failed tickers that a FetchResult's repr names.
_ERRORS_SHOWN = 5


class FetchResult(NamedTuple):
    """Every ticker of a ``fetch_many()`` run, in exactly one of two dicts.

    Unpacks as ``tables, errors = fetch_many(...)``. Both dicts keep the
    order of the tickers as given, each ticker once. Its repr sums it up
    rather than showing every table: ``FetchResult(4 tables, 1 error:
    NOPE 404)``, with the status of each failed ticker's error (or the
    error's type) for the first five.

    Attributes
    ----------
    tables : dict
        Ticker -> the function's result (a ``pandas.DataFrame`` for the
        data functions), for each ticker whose call returned.
    errors : dict
        Ticker -> the exception its call raised, for each ticker whose call
        failed: the data functions' ``ValueError`` with ``status_code`` and
        ``text`` for a status other than 200, ``KeyError`` for a range
        without records, ``requests``' own exceptions for a request that
        failed on the way.
    """

    tables: Dict[str, "pd.DataFrame"]
    errors: Dict[str, Exception]

    def __repr__(self) -> str:
        """``FetchResult(97 tables, 3 errors: NOPE 404, OLD KeyError, BAD
        503)``: the tables counted, the first failed tickers named."""
        def count(items: Dict[Any, Any], noun: str) -> str:
            return f"{len(items)} {noun}{'' if len(items) == 1 else 's'}"

        shown = []
        for ticker, error in itertools.islice(self.errors.items(), _ERRORS_SHOWN):
            status = getattr(error, "status_code", None)
            shown.append(f"{ticker if isinstance(ticker, str) else repr(ticker)} "
                         f"{type(error).__name__ if status is None else status}")
        if len(self.errors) > _ERRORS_SHOWN:
            shown.append("...")
        failed = f": {', '.join(shown)}" if shown else ""
        return f"FetchResult({count(self.tables, 'table')}, {count(self.errors, 'error')}{failed})"

    @property
    def ok(self) -> bool:
        """True when no ticker failed."""
        return not self.errors

    def to_frame(self) -> "pd.DataFrame":
        """Every table in one ``DataFrame``, under an outer index level
        ``ticker``.

        The tables are joined by ``pandas.concat`` in the order of
        ``tables`` (the order the tickers were given), each table's rows in
        their own order; the tickers in ``errors`` are not in it. The inner
        index is each table's own: ``DateTime`` for the time series, the
        row numbers 0, 1, 2... of each ticker for ``get_dividend``, so that
        ``frame.loc["HPX"]`` is HPX's table.

        A column named ``ticker`` (the regrouped tables' first column,
        which holds the ticker of every row) is left out: the index level
        holds it, and a column of the same name would make
        ``frame.reset_index()`` and ``frame.groupby("ticker")`` fail.

        Returns
        -------
        pandas.DataFrame
            The columns of every table, in the order they first appear.
            A column that has the same dtype in every table (as it has
            for one function and one period) keeps it. Tables whose
            columns or dtypes differ (with ``"D"`` a table holds every
            field the service sends) are joined as ``pandas.concat``
            joins them: a column that a table lacks is ``NaN`` in its rows,
            and takes the dtype that pandas gives it (``float64`` for
            integers).
            With no table (every ticker failed, or none was given): an
            empty ``DataFrame``, no rows and no columns, whose index is
            one level named ``ticker``.

        Raises
        ------
        TypeError
            A result in ``tables`` is not a ``pandas.DataFrame`` (a
            function of your own that returns something else); it names
            the ticker.
        """
        import pandas as pd

        frames = []
        for ticker, table in self.tables.items():
            if not isinstance(table, pd.DataFrame):
                raise TypeError(f"to_frame joins DataFrames, and the result for {ticker!r} is "
                                f"of type {type(table).__name__}")
            frames.append(table.drop(columns="ticker") if "ticker" in table.columns else table)
        if not frames:
            return pd.DataFrame(index=pd.Index([], dtype=object, name="ticker"))
        return pd.concat(frames, keys=list(self.tables), names=["ticker"])
