#include "request.hpp"

#include "call.hpp"
#include "constants.hpp"

namespace qv {

Global g_pd("pd");

const Binding kServiceBindings[4] = {
    {2, "quorvane.process_client.login", "Client", "Client"},
    {3, "quorvane.config.config", "base_url", "base_url"},
    {4, "requests", nullptr, "requests"},
    {5, "pandas", nullptr, "pd"},
};

namespace {

Global g_client("Client");
Global g_base_url("base_url");
Global g_requests("requests");

Builtin kValueError("ValueError");
Text kGetHeaders("_get_headers");
Text kTicker("ticker");
Text kFromDate("fromDate");
Text kToDate("toDate");
ModuleAttribute g_get("get");
Names kGetKeywords({"url", "headers", "params"});
Text kStatusCode("status_code");
Int k200(200);
Text kJson("json");
ModuleAttribute g_data_frame("DataFrame");
Text kText("text");
Text kMessageHead("Có lỗi xảy ra\nChi tiết: \nstatus:");
Text kMessageContent("\ncontent: ");
Text kEmpty("");

// ValueError("<head><status>\ncontent: <response text>"), carrying the
// status as `status_code` and the response text as `text`, so that a program
// can tell a 401 from a 404 or a 503 without reading the message.
void raise_status_error(PyObject* response) noexcept {
  Ref status = getattr(response, kStatusCode);
  if (!status) return;
  Ref status_text = text_form(status.get());
  if (!status_text) return;
  Ref body = getattr(response, kText);
  if (!body) return;
  Ref body_text = text_form(body.get());
  if (!body_text) return;
  Ref pieces = Ref::steal(
      PyTuple_Pack(4, kMessageHead.get(), status_text.get(), kMessageContent.get(), body_text.get()));
  if (!pieces) return;
  Ref message = Ref::steal(PyUnicode_Join(kEmpty, pieces.get()));
  if (!message) return;
  Ref error = call(kValueError, message.get());
  if (!error || PyObject_SetAttr(error.get(), kStatusCode, status.get()) < 0 ||
      PyObject_SetAttr(error.get(), kText, body_text.get()) < 0) {
    return;
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

}  // namespace

Ref text_form(PyObject* value) noexcept {
  if (PyUnicode_CheckExact(value)) return Ref::borrow(value);
  if (PyLong_CheckExact(value) || PyFloat_CheckExact(value)) {
    return Ref::steal(PyObject_Str(value));
  }
  return Ref::steal(PyObject_Format(value, kEmpty));
}

Ref fetch_table(Call& c, PyObject* path, const RequestLines& lines, PyObject* ticker,
                PyObject* from_date, PyObject* to_date) noexcept {
  c.line = lines.client;
  Ref client_class = g_client.get();
  if (!client_class) return Ref();
  Ref client = call(client_class.get());
  if (!client) return Ref();

  c.line = lines.headers;
  Ref headers = call_method(client.get(), kGetHeaders);
  if (!headers) return Ref();
  client = Ref();

  c.line = lines.url;
  Ref base_url = g_base_url.get();
  if (!base_url) return Ref();
  Ref base_text = text_form(base_url.get());
  if (!base_text) return Ref();
  Ref url = Ref::steal(PyUnicode_Concat(base_text.get(), path));
  if (!url) return Ref();

  c.line = lines.params;
  Ref params = Ref::steal(PyDict_New());
  if (!params || PyDict_SetItem(params.get(), kTicker, ticker) < 0 ||
      PyDict_SetItem(params.get(), kFromDate, from_date) < 0 ||
      PyDict_SetItem(params.get(), kToDate, to_date) < 0) {
    return Ref();
  }

  c.line = lines.get;
  Ref requests = g_requests.get();
  if (!requests) return Ref();
  Ref get = g_get.get(requests.get());
  if (!get) return Ref();
  Ref response = call_kw(get.get(), 0, kGetKeywords, url.get(), headers.get(), params.get());
  if (!response) return Ref();

  c.line = lines.status;
  Ref status = getattr(response.get(), kStatusCode);
  if (!status) return Ref();
  const int ok = equals_int(status.get(), k200);
  if (ok < 0) return Ref();
  if (!ok) {
    c.line = lines.raise;
    raise_status_error(response.get());
    return Ref();
  }

  c.line = lines.table;
  Ref pd = g_pd.get();
  if (!pd) return Ref();
  Ref data_frame = g_data_frame.get(pd.get());
  if (!data_frame) return Ref();
  Ref body = call_method(response.get(), kJson);
  if (!body) return Ref();
  return call(data_frame.get(), body.get());
}

}  // namespace qv
