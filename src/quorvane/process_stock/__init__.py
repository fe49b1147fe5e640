"""Market data for one ticker over a range of dates, as pandas tables.

One native module per kind of data, each with one function:

    from quorvane.process_stock.priceBars import get_priceBars
    from quorvane.process_stock.orderFlow import get_order_flow
    from quorvane.process_stock.foreign import get_foreign
    from quorvane.process_stock.dealerDesk import get_dealerDesk
    from quorvane.process_stock.dividend import get_dividend

Log in first, once per process, and point the package at your service:

    from quorvane.config import set_base_url
    from quorvane.process_client.login import Client
    set_base_url("https://your-provider.example")   # or QUORVANE_BASE_URL
    Client().login("your-access-token")

Every call sends one GET to <address>/api/stock/<kind> with the query
ticker, fromDate and toDate, and returns a new pandas.DataFrame.

The functions
-------------
The four time series (all but get_dividend) are indexed by the parsed
DateTime field, as "DateTime". With period "D" they keep the service's rows
and every field it sends; regrouped, they have the columns listed here, and
the index holds the period labels.

get_priceBars(ticker, fromDate, toDate, period)
    Price bars. All four arguments must be exactly str (else TypeError).
    "D": the columns Open, High, Low, Close, Volume as the service sends
    them. Regrouped: ticker, Open (the period's first), High (highest),
    Low (lowest), Close (last), Volume (total); a period without records
    stays, with NaN prices and Volume 0.

get_order_flow(ticker, fromDate, toDate, period)
    Buy and sell orders. Columns buyCount, buyVolume, sellCount,
    sellVolume. Regrouped: ticker and the four sums; periods whose four
    sums are all 0 (those without records too) are dropped. With "D" every
    record comes back, zero rows included.

get_foreign(ticker, fromDate, toDate, period, unit)
    Trading by foreign investors. Columns Close, buyForeignVolume,
    sellForeignVolume, buyForeignValue, sellForeignValue, netForeignValue.
    Regrouped: ticker, Close (last) and the other five summed; a period
    without records stays (Close NaN, sums 0). The three ...Value columns
    are divided by unit.

get_dealerDesk(ticker, fromDate, toDate, period, unit)
    Net value traded by securities firms on their own account. Column
    dealerDeskNetValue, divided by unit. Regrouped: ticker and
    dealerDeskNetValue (summed; 0 for a period without records).

get_dividend(ticker, fromDate, toDate)
    Dividend events, one row per event in the service's order, under the
    default index 0, 1, 2... Columns as the service sends them, such as
    Mã CK, Ngày GD không hưởng quyền (ex-rights date), Ngày ĐK cuối cùng
    (record date), Ngày thực hiện (payment date), Loại sự kiện, Tỷ lệ and
    Giá trị (đồng/CP). Cells that are exactly "-" become NaN; the three
    dates are parsed to datetime64 (NaT when missing); a column left with
    only numbers, such as Giá trị (đồng/CP), is float64.

Parameters
----------
ticker, fromDate, toDate
    Sent as given: no trimming, case change or date check. The service
    decides what it accepts (the sample service: "YYYY-MM-DD").

period
    "D", exactly (compared as text, no case folding): no regrouping and no
    ticker column. Anything else is a pandas resampling rule, applied on
    your side after the answer arrives ("d", "1D" and " D" are rules too:
    one row per day, with the ticker column). The period is never sent.
    Labels are pandas' defaults: "W" is weeks ending on Sunday, labelled by
    that Sunday; "MS" is months labelled by their first day.
    The rules pandas accepts depend on its version:
      - every pandas from 1.3 on: "1D", "W", "2W", "W-MON", "B", "MS",
        "QS", "YS";
      - month, quarter and year END: "ME", "QE", "YE" from pandas 2.2 on
        (older pandas: ValueError "Invalid frequency: ME"); "M", "Q", "Y"
        work up to pandas 2.2, where they give a FutureWarning, and fail on
        pandas 3 with ValueError "Invalid frequency: M. ..."; so do "A",
        "H", "T" and "S" (on pandas 3 write "YE", "h", "min", "s");
      - on pandas 3, "d" still regroups by day but gives a
        Pandas4Warning (a DeprecationWarning): write "1D".

unit (get_foreign, get_dealerDesk)
    The divisor of the value columns (true division), applied after any
    regrouping, so that sums are taken first, and also with "D". 1 keeps
    the magnitude (as floats), 1e9 gives billions. Volumes and Close are
    never divided. Never sent to the service. Anything a DataFrame can be
    divided by: 0 gives inf or NaN, as pandas divides; a str fails with
    pandas' TypeError.

Errors
------
ValueError, status other than 200
    The message is "Có lỗi xảy ra\\nChi tiết: \\nstatus:<code>\\ncontent:
    <body>"; the error's status_code and text attributes hold the status
    and the body. 401: the token is missing, wrong or expired (log in
    again); 404: unknown ticker; 429, 502, 503, 504: try again later, or
    let a Connection retry (quorvane.process_client.use_connection).

KeyError, a range with no records
    A weekend, fromDate after toDate, a quarter without a dividend: the
    service answers with no records, and the function fails on the first
    field it needs, KeyError('DateTime') (for get_dividend,
    KeyError('Ngày GD không hưởng quyền')). The same error comes from an
    answer that lacks the field. Handle it as "no data":

        try:
            bars = get_priceBars("HPX", "2024-03-02", "2024-03-03", "D")
        except KeyError:
            bars = None   # nothing in that range

    With fetch_many, such tickers are in errors with a KeyError.

TypeError
    Wrong number or names of arguments, for example "get_priceBars() takes
    exactly 4 positional arguments (3 given)"; a get_priceBars argument
    that is not a str.

ValueError "Invalid frequency: ..."
    period is not a rule your pandas knows (see period); it has no
    status_code.

requests.exceptions.RequestException (ConnectionError, Timeout, ...)
    The request failed on the way; a body that is not JSON gives requests'
    JSONDecodeError. Passed on unchanged.
"""

#: The five data modules, by full name.
DATA_MODULES = (
    "quorvane.process_stock.priceBars",
    "quorvane.process_stock.orderFlow",
    "quorvane.process_stock.foreign",
    "quorvane.process_stock.dealerDesk",
    "quorvane.process_stock.dividend",
)
