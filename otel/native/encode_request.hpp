// The one function of pelnorix_otel._otlp.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "boundary/entry.hpp"
#include "boundary/typed_args.hpp"

namespace pelnorix::python {

// The body of one ExportTraceServiceRequest (protobuf, or OTLP/JSON when
// `json`) holding every (span document, link or None) pair of `items`.
Outcome encode_request(ModuleArg module, PyObject* items, DictArg resource, bool json,
                       bool include_content, std::optional<PyObject*> redact,
                       std::optional<std::uint64_t> max_attribute_bytes,
                       std::string_view scope_name, std::string_view scope_version);

}  // namespace pelnorix::python
