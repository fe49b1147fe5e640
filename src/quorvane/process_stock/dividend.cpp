// quorvane.process_stock.dividend: get_dividend(ticker, fromDate, toDate)
#include "call.hpp"
#include "constants.hpp"
#include "globals.hpp"
#include "module.hpp"
#include "request.hpp"
#include "table.hpp"

namespace {

using qv::Ref;

qv::Global g_np("np");

qv::Text kPath("/api/stock/diviend");
qv::Text kEq("eq");
qv::Text kMask("mask");
qv::Text kInferObjects("infer_objects");
qv::Text kMissing("-");
qv::ModuleAttribute g_nan("nan");
// Matched exactly against the service's field names (precomposed forms).
qv::Names kDateColumns({"Ngày GD không hưởng quyền", "Ngày ĐK cuối cùng", "Ngày thực hiện"});

constexpr qv::RequestLines kLines{8, 9, 10, 12, 16, 21, 33, 22};

PyObject* get_dividend(qv::Call& c) noexcept {
  Ref data = qv::fetch_table(c, kPath, kLines, c.args[0], c.args[1], c.args[2]);
  if (!data) return nullptr;

  // Cells that are exactly "-" become missing values, in every column:
  // data = data.mask(data.eq("-"), np.nan).infer_objects()
  // A column left with only numbers and missing values becomes numeric, as
  // the replacement used to leave it on every pandas; inferring the dtypes
  // as a step of its own raises none of the warnings that pandas 2.2 and
  // later give for a replacement that changes a column's dtype.
  c.line = 23;
  Ref np = g_np.get();
  if (!np) return nullptr;
  Ref nan = g_nan.get(np.get());
  if (!nan) return nullptr;
  Ref placeholders = qv::call_method(data.get(), kEq, kMissing.get());
  if (!placeholders) return nullptr;
  data = qv::call_method(data.get(), kMask, placeholders.get(), nan.get());
  if (!data) return nullptr;
  data = qv::call_method(data.get(), kInferObjects);
  if (!data) return nullptr;

  c.line = 24;
  Ref cols = qv::new_list(kDateColumns);
  if (!cols) return nullptr;
  // Python code run by a step may change the list: each name is held for as
  // long as its step uses it, as a loop variable is.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols.get()); ++i) {
    Ref col = Ref::borrow(PyList_GET_ITEM(cols.get(), i));
    if (qv::parse_dates(c, data.get(), col.get(), 30) < 0) return nullptr;
  }
  return data.release();
}

const char* const kVarnames[] = {"ticker", "fromDate", "toDate", "client", "headers", "url",
                                 "params", "response", "data",   "cols",   "col"};

qv::FunctionSpec kFunction{
    "get_dividend",
    "get_dividend",
    "quorvane.process_stock.dividend.get_dividend",
    7,
    kVarnames,
    3,
    11,
    false,
    "get_dividend(ticker, fromDate, toDate)",
    nullptr,
    get_dividend,
};

const qv::Binding kNumpy[] = {{6, "numpy", nullptr, "np"}};

const qv::ModuleSpec kModule{
    "dividend",
    "quorvane.process_stock.dividend",
    qv::kServiceBindings,
    4,
    kNumpy,
    1,
    &kFunction,
};

}  // namespace

PyMODINIT_FUNC PyInit_dividend(void) { return qv::module_init(kModule); }
