#include "table.hpp"

#include "call.hpp"
#include "constants.hpp"
#include "request.hpp"

namespace qv {
namespace {

ModuleAttribute g_to_datetime("to_datetime");
Text kDateTime("DateTime");
Text kSetIndex("set_index");
Text kDay("D");
Text kInsert("insert");
Text kResample("resample");
Text kAgg("agg");
Text kSum("sum");
Text kTicker("ticker");
Int k0(0);

}  // namespace

int set_item(PyObject* data, PyObject* key, PyObject* value) noexcept {
  Ref hold = Ref::borrow(data);
  return setitem(data, key, value);
}

int parse_dates(Call& c, PyObject* data, PyObject* column, int line) noexcept {
  c.line = line;
  Ref pd = g_pd.get();
  if (!pd) return -1;
  Ref to_datetime = g_to_datetime.get(pd.get());
  if (!to_datetime) return -1;
  Ref values = getitem(data, column);
  if (!values) return -1;
  Ref parsed = call(to_datetime.get(), values.get());
  if (!parsed) return -1;
  return set_item(data, column, parsed.get());
}

Ref index_by_time(Call& c, PyObject* data, int parse_line, int index_line) noexcept {
  if (parse_dates(c, data, kDateTime, parse_line) < 0) return Ref();
  c.line = index_line;
  return call_method(data, kSetIndex, kDateTime.get());
}

int wants_regrouping(Call& c, PyObject* period, int line) noexcept {
  c.line = line;
  return compare_text(period, kDay, Py_NE);
}

Ref resample_agg(Call& c, PyObject* data, PyObject* period, PyObject* how, int line) noexcept {
  c.line = line;
  Ref resampler = call_method(data, kResample, period);
  if (!resampler) return Ref();
  return call_method(resampler.get(), kAgg, how);
}

Ref resample_sum(Call& c, PyObject* data, PyObject* period, PyObject* columns,
                 int line) noexcept {
  c.line = line;
  Ref resampler = call_method(data, kResample, period);
  if (!resampler) return Ref();
  Ref selection = getitem(resampler.get(), columns);
  if (!selection) return Ref();
  return call_method(selection.get(), kSum);
}

int insert_ticker(Call& c, PyObject* data, PyObject* ticker, int line) noexcept {
  c.line = line;
  Ref ignored = call_method(data, kInsert, k0.get(), kTicker.get(), ticker);
  return ignored ? 0 : -1;
}

Ref new_list(PyObject* names) noexcept {
  const Py_ssize_t n = PyTuple_GET_SIZE(names);
  Ref list = Ref::steal(PyList_New(n));
  if (!list) return list;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* name = PyTuple_GET_ITEM(names, i);
    Py_INCREF(name);
    PyList_SET_ITEM(list.get(), i, name);
  }
  return list;
}

int divide_columns(Call& c, PyObject* data, PyObject* columns, PyObject* unit, int list_line,
                   int divide_line) noexcept {
  c.line = list_line;
  Ref cols = new_list(columns);
  if (!cols) return -1;
  c.line = divide_line;
  Ref selected = getitem(data, cols.get());
  if (!selected) return -1;
  Ref quotient = Ref::steal(PyNumber_TrueDivide(selected.get(), unit));
  if (!quotient) return -1;
  return set_item(data, cols.get(), quotient.get());
}

}  // namespace qv
