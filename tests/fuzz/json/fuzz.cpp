// Fuzzes the strict JSON reader that every JSON text from a phone or from standard input goes
// through, and what the receiver then does with an accepted value: copy it into an event and
// write the event as one compact line.

#include <cstddef>
#include <cstdint>

#include "core/event_sink.h"
#include "core/json.h"

using namespace sonvale;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto value = parse_json_strict(ByteSpan(data, size));
  if (!value) return 0;
  const Json copy = *value;
  (void)compact_json(Json{{"event", "fuzz"}, {"content", std::move(*value)}, {"copy", copy}});
  return 0;
}
