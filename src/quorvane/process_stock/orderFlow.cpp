// quorvane.process_stock.orderFlow: get_order_flow(ticker, fromDate, toDate, period)
#include "constants.hpp"
#include "module.hpp"
#include "request.hpp"
#include "table.hpp"

namespace {

using qv::Ref;

qv::Text kPath("/api/stock/orderFlow");
qv::Names kMeasures({"buyCount", "buyVolume", "sellCount", "sellVolume"});
qv::Text kEq("eq");
qv::Text kAll("all");
qv::Text kLoc("loc");
qv::Names kAxis({"axis"});
qv::Int k0(0);
qv::Int k1(1);

constexpr qv::RequestLines kLines{10, 11, 12, 14, 18, 23, 33, 24};

// data.loc[~data[measures].eq(0).all(axis=1)]: the periods in which at least
// one of the four sums is not zero.
Ref drop_empty_periods(PyObject* data, PyObject* measures) noexcept {
  Ref selection = qv::getitem(data, measures);
  if (!selection) return Ref();
  Ref zero = qv::call_method(selection.get(), kEq, k0.get());
  if (!zero) return Ref();
  Ref all_zero = qv::call_method_kw(zero.get(), kAll, 0, kAxis, k1.get());
  if (!all_zero) return Ref();
  Ref keep = Ref::steal(PyNumber_Invert(all_zero.get()));
  if (!keep) return Ref();
  Ref loc = qv::getattr(data, kLoc);
  if (!loc) return Ref();
  return qv::getitem(loc.get(), keep.get());
}

PyObject* get_order_flow(qv::Call& c) noexcept {
  PyObject* ticker = c.args[0];
  PyObject* period = c.args[3];
  Ref data = qv::fetch_table(c, kPath, kLines, ticker, c.args[1], c.args[2]);
  if (!data) return nullptr;
  data = qv::index_by_time(c, data.get(), 25, 26);
  if (!data) return nullptr;

  const int regroup = qv::wants_regrouping(c, period, 27);
  if (regroup <= 0) return regroup < 0 ? nullptr : data.release();

  c.line = 28;
  Ref measures = qv::new_list(kMeasures);
  if (!measures) return nullptr;
  data = qv::resample_sum(c, data.get(), period, measures.get(), 28);
  if (!data) return nullptr;
  c.line = 29;
  data = drop_empty_periods(data.get(), measures.get());
  if (!data || qv::insert_ticker(c, data.get(), ticker, 30) < 0) return nullptr;
  return data.release();
}

const char* const kVarnames[] = {"ticker",  "fromDate", "toDate",   "period", "client",
                                 "headers", "url",      "params", "response", "data"};

qv::FunctionSpec kFunction{
    "get_order_flow",
    "get_order_flow",
    "quorvane.process_stock.orderFlow.get_order_flow",
    9,
    kVarnames,
    4,
    10,
    false,
    "get_order_flow(ticker, fromDate, toDate, period)",
    nullptr,
    get_order_flow,
};

const qv::ModuleSpec kModule{
    "orderFlow",
    "quorvane.process_stock.orderFlow",
    qv::kServiceBindings,
    4,
    nullptr,
    0,
    &kFunction,
};

}  // namespace

PyMODINIT_FUNC PyInit_orderFlow(void) { return qv::module_init(kModule); }
