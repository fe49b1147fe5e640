// quorvane.process_stock.priceBars: get_priceBars(ticker, fromDate, toDate, period)
#include "constants.hpp"
#include "module.hpp"
#include "request.hpp"
#include "table.hpp"

namespace {

using qv::Ref;

qv::Text kPath("/api/stock/priceBars");
// One bar per period: the period's first open, highest high, lowest low,
// last close and total volume.
qv::Map kBarAggregation({"Open", "High", "Low", "Close", "Volume"},
                        {"first", "max", "min", "last", "sum"});

constexpr qv::RequestLines kLines{10, 11, 12, 14, 18, 23, 40, 24};
const char* const kParams[] = {"ticker", "fromDate", "toDate", "period"};

PyObject* get_priceBars(qv::Call& c) noexcept {
  PyObject* const* arg = c.args;
  for (int i = 0; i < 4; ++i) {
    if (!PyUnicode_CheckExact(arg[i])) {
      PyErr_Format(PyExc_TypeError,
                   "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                   kParams[i], "str", Py_TYPE(arg[i])->tp_name);
      return nullptr;
    }
  }
  PyObject* ticker = arg[0];
  PyObject* period = arg[3];

  Ref data = qv::fetch_table(c, kPath, kLines, ticker, arg[1], arg[2]);
  if (!data) return nullptr;
  data = qv::index_by_time(c, data.get(), 25, 26);
  if (!data) return nullptr;

  const int regroup = qv::wants_regrouping(c, period, 27);
  if (regroup <= 0) return regroup < 0 ? nullptr : data.release();

  c.line = 29;
  Ref how = Ref::steal(PyDict_Copy(kBarAggregation));
  if (!how) return nullptr;
  data = qv::resample_agg(c, data.get(), period, how.get(), 28);
  if (!data || qv::insert_ticker(c, data.get(), ticker, 37) < 0) return nullptr;
  return data.release();
}

const char* const kVarnames[] = {"ticker", "fromDate", "toDate", "period", "client",
                                 "headers", "url", "params", "response", "data"};

qv::FunctionSpec kFunction{
    "get_priceBars",
    "get_priceBars",
    "quorvane.process_stock.priceBars.get_priceBars",
    9,
    kVarnames,
    4,
    10,
    false,
    "get_priceBars(unicode ticker: str, unicode fromDate: str, unicode toDate: str, unicode "
    "period: str)",
    "str",
    get_priceBars,
};

// Bound but not used by get_priceBars.
const qv::Binding kDatetime[] = {{6, "datetime", "datetime", "datetime"}};

const qv::ModuleSpec kModule{
    "priceBars",
    "quorvane.process_stock.priceBars",
    qv::kServiceBindings,
    4,
    kDatetime,
    1,
    &kFunction,
};

}  // namespace

PyMODINIT_FUNC PyInit_priceBars(void) { return qv::module_init(kModule); }
