// quorvane.process_stock.foreign: get_foreign(ticker, fromDate, toDate, period, unit)
#include "constants.hpp"
#include "module.hpp"
#include "request.hpp"
#include "table.hpp"

namespace {

using qv::Ref;

qv::Text kPath("/api/stock/foreign");
qv::Map kAggregation({"Close", "buyForeignVolume", "sellForeignVolume", "buyForeignValue",
                      "sellForeignValue", "netForeignValue"},
                     {"last", "sum", "sum", "sum", "sum", "sum"});
qv::Names kValueColumns({"buyForeignValue", "sellForeignValue", "netForeignValue"});

constexpr qv::RequestLines kLines{8, 9, 10, 12, 16, 21, 39, 22};

PyObject* get_foreign(qv::Call& c) noexcept {
  PyObject* ticker = c.args[0];
  PyObject* period = c.args[3];
  PyObject* unit = c.args[4];
  Ref data = qv::fetch_table(c, kPath, kLines, ticker, c.args[1], c.args[2]);
  if (!data) return nullptr;
  data = qv::index_by_time(c, data.get(), 23, 24);
  if (!data) return nullptr;

  const int regroup = qv::wants_regrouping(c, period, 25);
  if (regroup < 0) return nullptr;
  if (regroup) {
    c.line = 27;
    Ref how = Ref::steal(PyDict_Copy(kAggregation));
    if (!how) return nullptr;
    data = qv::resample_agg(c, data.get(), period, how.get(), 26);
    if (!data || qv::insert_ticker(c, data.get(), ticker, 34) < 0) return nullptr;
  }
  if (qv::divide_columns(c, data.get(), kValueColumns, unit, 35, 36) < 0) return nullptr;
  return data.release();
}

const char* const kVarnames[] = {"ticker",  "fromDate", "toDate", "period",   "unit", "client",
                                 "headers", "url",      "params", "response", "data", "cols"};

qv::FunctionSpec kFunction{
    "get_foreign",
    "get_foreign",
    "quorvane.process_stock.foreign.get_foreign",
    7,
    kVarnames,
    5,
    12,
    false,
    "get_foreign(ticker, fromDate, toDate, period, unit)",
    nullptr,
    get_foreign,
};

const qv::ModuleSpec kModule{
    "foreign",
    "quorvane.process_stock.foreign",
    qv::kServiceBindings,
    4,
    nullptr,
    0,
    &kFunction,
};

}  // namespace

PyMODINIT_FUNC PyInit_foreign(void) { return qv::module_init(kModule); }
