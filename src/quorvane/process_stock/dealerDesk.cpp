// quorvane.process_stock.dealerDesk: get_dealerDesk(ticker, fromDate, toDate, period, unit)
#include "constants.hpp"
#include "module.hpp"
#include "request.hpp"
#include "table.hpp"

namespace {

using qv::Ref;

qv::Text kPath("/api/stock/dealerDesk");
qv::Names kNetValue({"dealerDeskNetValue"});

constexpr qv::RequestLines kLines{10, 11, 12, 14, 18, 23, 34, 24};

PyObject* get_dealerDesk(qv::Call& c) noexcept {
  PyObject* ticker = c.args[0];
  PyObject* period = c.args[3];
  PyObject* unit = c.args[4];
  Ref data = qv::fetch_table(c, kPath, kLines, ticker, c.args[1], c.args[2]);
  if (!data) return nullptr;
  data = qv::index_by_time(c, data.get(), 25, 26);
  if (!data) return nullptr;

  const int regroup = qv::wants_regrouping(c, period, 27);
  if (regroup < 0) return nullptr;
  if (regroup) {
    c.line = 28;
    // Selected by a list, so that the sum is a table and not a series.
    Ref column = qv::new_list(kNetValue);
    if (!column) return nullptr;
    data = qv::resample_sum(c, data.get(), period, column.get(), 28);
    if (!data || qv::insert_ticker(c, data.get(), ticker, 29) < 0) return nullptr;
  }
  if (qv::divide_columns(c, data.get(), kNetValue, unit, 30, 31) < 0) return nullptr;
  return data.release();
}

const char* const kVarnames[] = {"ticker",  "fromDate", "toDate", "period",   "unit", "client",
                                 "headers", "url",      "params", "response", "data", "cols"};

qv::FunctionSpec kFunction{
    "get_dealerDesk",
    "get_dealerDesk",
    "quorvane.process_stock.dealerDesk.get_dealerDesk",
    9,
    kVarnames,
    5,
    12,
    false,
    "get_dealerDesk(ticker, fromDate, toDate, period, unit)",
    nullptr,
    get_dealerDesk,
};

const qv::ModuleSpec kModule{
    "dealerDesk",
    "quorvane.process_stock.dealerDesk",
    qv::kServiceBindings,
    4,
    nullptr,
    0,
    &kFunction,
};

}  // namespace

PyMODINIT_FUNC PyInit_dealerDesk(void) { return qv::module_init(kModule); }
