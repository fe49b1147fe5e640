// Table steps that several market-data functions share.
#pragma once

#include <Python.h>

#include "call.hpp"
#include "function.hpp"
#include "ref.hpp"

namespace qv {

// data[key] = value
// pandas guesses from a table's reference count whether it is modifying a
// temporary. Interpreted code holds one more reference to the table (on its
// value stack) than a native caller does, so this holds one too while pandas
// stores into the table.
int set_item(PyObject* data, PyObject* key, PyObject* value) noexcept;

// data[column] = pd.to_datetime(data[column])   (at `line`)
int parse_dates(Call& call, PyObject* data, PyObject* column, int line) noexcept;

// data["DateTime"] = pd.to_datetime(data["DateTime"])   (at `parse_line`)
// return data.set_index("DateTime")                     (at `index_line`)
// A new table indexed by time; every pandas takes this form without a
// warning, unlike the in-place one.
Ref index_by_time(Call& call, PyObject* data, int parse_line, int index_line) noexcept;

// period != "D": 1 when the table is to be regrouped, 0 when not, -1 on error.
int wants_regrouping(Call& call, PyObject* period, int line) noexcept;

// data.resample(period).agg(how)   (at `line`)
Ref resample_agg(Call& call, PyObject* data, PyObject* period, PyObject* how, int line) noexcept;

// data.resample(period)[columns].sum()   (at `line`)
Ref resample_sum(Call& call, PyObject* data, PyObject* period, PyObject* columns,
                 int line) noexcept;

// data.insert(0, "ticker", ticker)
int insert_ticker(Call& call, PyObject* data, PyObject* ticker, int line) noexcept;

// cols = list(columns)              (at `list_line`)
// data[cols] = data[cols] / unit    (at `divide_line`)
int divide_columns(Call& call, PyObject* data, PyObject* columns, PyObject* unit,
                   int list_line, int divide_line) noexcept;

// A new list of the texts of a names tuple.
Ref new_list(PyObject* names) noexcept;


}  // namespace qv
