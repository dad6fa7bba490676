#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"

// A schema-less reader and writer of the Protocol Buffers wire format
// (https://protobuf.dev/programming-guides/encoding/), as the Lyra channel uses it: fields are
// listed flat, nested messages stay byte views that the caller parses again.
namespace sonvale::lyra {

// One decoded field value. `kFixed` (wire types 1 and 5) keeps no value; `kBytes` views the input.
struct PbValue {
  enum class Kind { kVarint, kBytes, kFixed };
  Kind kind = Kind::kVarint;
  std::uint64_t varint = 0;
  ByteSpan bytes;
};

struct PbField {
  std::uint32_t number = 0;
  PbValue value;
};

using PbFields = std::vector<PbField>;

// Reads one base-128 varint at `pos`, at most 10 bytes, advancing `pos` past every byte read
// (also on failure). The 10th byte contributes only its lowest bit (bit 63).
[[nodiscard]] Result<std::uint64_t> decode_varint(ByteSpan input, std::size_t& pos);

// Every field of one message, in input order. Fails on the first malformed field.
[[nodiscard]] Result<PbFields> parse_fields(ByteSpan input);

// The first length-delimited field `number` of the message, or nullopt.
[[nodiscard]] Result<std::optional<ByteSpan>> bytes_field(ByteSpan input, std::uint32_t number);

// Field lookups in a parsed list: first or last entry of that number and kind.
std::optional<ByteSpan> first_bytes(const PbFields& fields, std::uint32_t number);
std::optional<std::uint64_t> first_varint(const PbFields& fields, std::uint32_t number);
std::optional<std::uint64_t> last_varint(const PbFields& fields, std::uint32_t number);

void pb_varint_into(Bytes& out, std::uint32_t number, std::uint64_t value);
void pb_bytes_into(Bytes& out, std::uint32_t number, ByteSpan value);
Bytes pb_varint(std::uint32_t number, std::uint64_t value);
Bytes pb_bytes(std::uint32_t number, ByteSpan value);

// One field of a message to be written: a varint, bytes, a message of further fields, or a
// length-delimited field whose `length` bytes the caller fills in after the writer is done (it
// must come last in the output). Messages are sized before they are written, so a whole frame
// goes once into a buffer reserved at its final size.
struct PbOut {
  enum class Kind { kVarint, kBytes, kMessage, kReserved };
  std::uint32_t number = 0;
  Kind kind = Kind::kVarint;
  std::uint64_t value = 0;  // the varint, or the reserved length
  ByteSpan bytes;
  std::span<const PbOut> fields;

  static PbOut varint(std::uint32_t number, std::uint64_t v) { return {number, Kind::kVarint, v, {}, {}}; }
  static PbOut data(std::uint32_t number, ByteSpan b) { return {number, Kind::kBytes, 0, b, {}}; }
  static PbOut message(std::uint32_t number, std::span<const PbOut> f) {
    return {number, Kind::kMessage, 0, {}, f};
  }
  static PbOut reserved(std::uint32_t number, std::size_t length) {
    return {number, Kind::kReserved, length, {}, {}};
  }
};

// The encoded size of `fields`, reserved bytes included.
std::size_t pb_size(std::span<const PbOut> fields);
// Appends `fields` to `out`; the bytes of a reserved field are left to the caller.
void pb_append(Bytes& out, std::span<const PbOut> fields);

template <std::size_t N>
Bytes pb_join(std::array<Bytes, N> pieces) {
  std::size_t total = 0;
  for (const Bytes& p : pieces) total += p.size();
  Bytes out;
  out.reserve(total);
  for (const Bytes& p : pieces) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace sonvale::lyra
