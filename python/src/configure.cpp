#include "configure.hpp"

#include "boundary/callables.hpp"
#include "boundary/convert.hpp"
#include "boundary/interned_names.hpp"
#include "tracer/tracer.hpp"

namespace pelnorix::python {
namespace {

// One setting read from the dictionary's own storage (a subclass's
// __getitem__ and __missing__ are not consulted). The value is held, not
// borrowed: a later key's comparison may run Python code that empties the
// dictionary, and the converted text points into the value.
template <typename T>
struct Setting {
  PyRef value;
  std::optional<T> converted;
};

template <typename T>
Result<Setting<T>> read_setting(PyObject* config, PyObject* key, Result<T> (*convert)(PyObject*)) {
  Setting<T> setting;
  setting.value = PyRef::new_ref(PyDict_GetItemWithError(config, key));
  if (!setting.value) {
    if (PyErr_Occurred() != nullptr) return fail(fetch_error_or_resume_panic());
    return setting;
  }
  // Unlike a parameter's conversion, a setting's failure gets no note.
  Result<T> converted = convert(setting.value.get());
  if (!converted) return fail(std::move(converted).error());
  setting.converted.emplace(std::move(*converted));
  return setting;
}

PyMethodDef configure_definition = module_function<
    "configure", &configure_tracer, "config",
    "Configure and create an :class:`TamloxTracer` from a Python dictionary.\n\nSupported "
    "keys:\n  - ``tenant_id`` (str): UUID string for the tenant.\n  - ``endpoint`` (str): "
    "Collector endpoint URL.\n  - ``enable_security`` (bool): Enable security analysis.\n\n"
    "Returns:\n    A configured :class:`TamloxTracer`.">();

}  // namespace

Outcome configure_tracer(ModuleArg /*module*/, DictArg config) {
  // Every value is read and type-checked before the tenant text is parsed.
  auto tenant_id =
      read_setting<std::string_view>(config.object, names::tenant_id(), &text_from_python);
  if (!tenant_id) return fail(std::move(tenant_id).error());
  auto endpoint =
      read_setting<std::string_view>(config.object, names::endpoint(), &text_from_python);
  if (!endpoint) return fail(std::move(endpoint).error());
  auto enable_security =
      read_setting<bool>(config.object, names::enable_security(), &bool_from_python);
  if (!enable_security) return fail(std::move(enable_security).error());

  Result<PyTamloxTracer> tracer =
      build_tracer(tenant_id->converted, endpoint->converted, enable_security->converted);
  if (!tracer) return fail(std::move(tracer).error());
  return new_tracer_object(std::move(*tracer));
}

PyMethodDef& configure_function() {
  return configure_definition;
}

}  // namespace pelnorix::python
