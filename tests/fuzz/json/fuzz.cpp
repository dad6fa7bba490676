// Fuzzes the strict JSON reader that every JSON text from a phone or from standard input goes
// through, with a small shared budget for costly trees, and what the receiver then does with an
// accepted value: copy it into an event and write the event as one compact line.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/event_sink.h"
#include "core/json.h"

using namespace sonvale;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteBudget shared(2 * kJsonUnsharedCost);
  {
    JsonTree value = parse_json_strict(ByteSpan(data, size), &shared);
    if (value) {
      const Json copy = *value;
      (void)compact_json(Json{{"event", "fuzz"}, {"content", std::move(*value)}, {"copy", copy}});
    }
  }
  // A tree gives back all it took, accepted or refused.
  if (shared.taken() != 0) std::abort();
  return 0;
}
