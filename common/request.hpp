// The service request that every market-data function starts with.
#pragma once

#include <Python.h>

#include "function.hpp"
#include "globals.hpp"
#include "module.hpp"
#include "ref.hpp"

namespace qv {

// Module-level names that the request and table steps read at every call.
extern Global g_pd;

// The module-level statements at lines 2 to 5 of every market-data module:
// Client, base_url, requests and pd.
extern const Binding kServiceBindings[4];

// Source lines of the request steps in one module.
struct RequestLines {
  int client;   // Client()
  int headers;  // client._get_headers()
  int url;      // text form of base_url + path
  int params;   // the query dictionary
  int get;      // requests.get(url=..., headers=..., params=...)
  int status;   // response.status_code == 200
  int raise;    // the ValueError for any other status
  int table;    // pd.DataFrame(response.json())
};

// Sends GET <base_url><path>?ticker=..&fromDate=..&toDate=.. with the login
// client's headers, refuses any status but 200 with ValueError, and returns
// pd.DataFrame(response.json()); null with an exception set otherwise.
Ref fetch_table(Call& call, PyObject* path, const RequestLines& lines, PyObject* ticker,
                PyObject* from_date, PyObject* to_date) noexcept;

// What an f-string field with no format string makes of `value`.
Ref text_form(PyObject* value) noexcept;

}  // namespace qv
