// Descriptions that must not compile. The checks in python/CMakeLists.txt
// build this file once per case (WRONG_DESCRIPTION selects it) and expect the
// compiler's message for it; case 0 is the correct description they vary.
// The last case is a class definition rather than a callable's.
#include <cstdint>
#include <optional>
#include <string_view>

#include "boundary/callables.hpp"
#include "boundary/class_instance.hpp"

namespace pelnorix::python {

struct PyExample {
  static constexpr const char* kClassName = "Example";
  static TypeCell& type_cell();
};

struct PyOther {
  static constexpr const char* kClassName = "Other";
  static TypeCell& type_cell();
};

Outcome example_set(PyExample& self, std::string_view text, std::optional<std::uint32_t> count);
Outcome example_optional_first(PyExample& self, std::optional<std::uint32_t> count,
                               std::string_view text);
Outcome other_set(PyOther& self, std::string_view text);

using Example = Members<PyExample>;

#if WRONG_DESCRIPTION == 0
PyMethodDef checked = Example::method<"set", &example_set, "text, count", "Doc.">();
constexpr ClassDefinition example_class = define_class<PyExample>({.doc = "Doc."});
#elif WRONG_DESCRIPTION == 1
// A parameter left out of the list.
PyMethodDef checked = Example::method<"set", &example_set, "text", "Doc.">();
#elif WRONG_DESCRIPTION == 2
// A required parameter after an optional one.
PyMethodDef checked = Example::method<"set", &example_optional_first, "count, text", "Doc.">();
#elif WRONG_DESCRIPTION == 3
// The operation of another class.
PyMethodDef checked = Example::method<"set", &other_set, "text", "Doc.">();
#elif WRONG_DESCRIPTION == 4
PyMethodDef checked = Example::method<"set", &example_set, "text, text", "Doc.">();
#elif WRONG_DESCRIPTION == 5
PyMethodDef checked = Example::method<"set", &example_set, "text, count, *", "Doc.">();
#elif WRONG_DESCRIPTION == 6
PyMethodDef checked = Example::method<"set", &example_set, "text, 2count", "Doc.">();
#elif WRONG_DESCRIPTION == 7
// A record that shows the collector its references but cannot drop them.
struct PyHalfCollected {
  static constexpr const char* kClassName = "HalfCollected";
  static TypeCell& type_cell();
  int traverse(visitproc visit, void* arg) const;
};
constexpr ClassDefinition half_collected = define_class<PyHalfCollected>({.doc = "Doc."});
#endif

}  // namespace pelnorix::python
