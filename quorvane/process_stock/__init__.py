"""Market-data functions, one native module each."""

#: The five data modules, by full name.
DATA_MODULES = (
    "quorvane.process_stock.priceBars",
    "quorvane.process_stock.orderFlow",
    "quorvane.process_stock.foreign",
    "quorvane.process_stock.dealerDesk",
    "quorvane.process_stock.dividend",
)
