// One export request from many span documents: read, map, group by tenant,
// write.
#include "pelnorix/otlp.hpp"

namespace pelnorix::otlp {

Expected<std::string, EncodeError> encode_export_request(std::span<const EncodeItem> items,
                                                         std::span<const KeyValue> resource,
                                                         InstrumentationScope scope,
                                                         const ContentPolicy& policy,
                                                         Encoding encoding) {
  TextArena arena;
  ExportRequest request{scope, {}};
  std::vector<Uuid> tenants;  // of request.resource_spans, index for index
  for (std::size_t index = 0; index < items.size(); ++index) {
    const EncodeItem& item = items[index];
    Expected<SpanRecordView, DocumentError> record = read_span_document(item.document, arena);
    if (!record) {
      return Unexpected{EncodeError{EncodeError::Kind::InvalidDocument, index,
                                    std::move(record).error().message}};
    }
    std::size_t group = 0;
    while (group < tenants.size() && tenants[group] != record->tenant_id)
      ++group;
    if (group == tenants.size()) {
      tenants.push_back(record->tenant_id);
      ResourceSpans& added = request.resource_spans.emplace_back();
      added.resource.reserve(resource.size() + 1);
      for (const KeyValue& kv : resource) {
        if (kv.key != kTenantAttribute) added.resource.push_back(kv);
      }
      char* tenant_text = arena.allocate(kUuidTextLength);
      format_uuid(record->tenant_id, tenant_text);
      added.resource.push_back(
          {kTenantAttribute, AnyValue::string({tenant_text, kUuidTextLength})});
    }
    if (!map_span(*record, item.link, policy, arena, request.resource_spans[group].spans)) {
      return Unexpected{EncodeError{EncodeError::Kind::Stopped, index, "redaction stopped"}};
    }
  }
  return encoding == Encoding::Protobuf ? to_protobuf(request) : to_json(request);
}

}  // namespace pelnorix::otlp
