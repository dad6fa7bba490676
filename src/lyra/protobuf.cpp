#include "lyra/protobuf.h"

#include <string>

namespace sonvale::lyra {
namespace {

constexpr int kWireVarint = 0;
constexpr int kWireFixed64 = 1;
constexpr int kWireBytes = 2;
constexpr int kWireFixed32 = 5;

void put_varint(Bytes& out, std::uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(v));
}

void put_key(Bytes& out, std::uint32_t number, int wire_type) {
  put_varint(out, (std::uint64_t{number} << 3) | static_cast<std::uint64_t>(wire_type));
}

std::size_t varint_size(std::uint64_t v) {
  std::size_t n = 1;
  for (; v >= 0x80; v >>= 7) ++n;
  return n;
}

std::size_t key_size(std::uint32_t number) { return varint_size(std::uint64_t{number} << 3); }

}  // namespace

Result<std::uint64_t> decode_varint(ByteSpan input, std::size_t& pos) {
  std::uint64_t value = 0;
  for (unsigned n = 0; n < 9; ++n) {
    if (pos >= input.size()) return fail(Error::msg("truncated protobuf varint"));
    const std::uint8_t b = input[pos++];
    value |= std::uint64_t{b & 0x7fu} << (7 * n);
    if ((b & 0x80) == 0) return value;
  }
  if (pos >= input.size()) return fail(Error::msg("truncated protobuf varint"));
  const std::uint8_t last = input[pos++];
  if ((last & 0x80) != 0) return fail(Error::msg("protobuf varint is too long"));
  return value | (std::uint64_t{last} << 63);
}

Result<PbFields> parse_fields(ByteSpan input) {
  PbFields fields;
  std::size_t pos = 0;
  while (pos < input.size()) {
    SV_ASSIGN_OR_RETURN(const std::uint64_t key, decode_varint(input, pos));
    const auto number = static_cast<std::uint32_t>(key >> 3);
    const int wire_type = static_cast<int>(key & 7);
    const std::size_t remaining = input.size() - pos;
    PbField field{number, {}};
    switch (wire_type) {
      case kWireVarint: {
        SV_ASSIGN_OR_RETURN(field.value.varint, decode_varint(input, pos));
        break;
      }
      case kWireFixed64:
        if (8 > remaining) return fail(Error::msg("truncated protobuf fixed64"));
        pos += 8;
        field.value.kind = PbValue::Kind::kFixed;
        break;
      case kWireBytes: {
        SV_ASSIGN_OR_RETURN(const std::uint64_t len, decode_varint(input, pos));
        if (len > input.size() - pos) return fail(Error::msg("truncated protobuf bytes"));
        field.value.kind = PbValue::Kind::kBytes;
        field.value.bytes = input.subspan(pos, static_cast<std::size_t>(len));
        pos += static_cast<std::size_t>(len);
        break;
      }
      case kWireFixed32:
        if (4 > remaining) return fail(Error::msg("truncated protobuf fixed32"));
        pos += 4;
        field.value.kind = PbValue::Kind::kFixed;
        break;
      default:
        return fail(Error::msg("unsupported protobuf wire type " + std::to_string(wire_type)));
    }
    fields.push_back(field);
  }
  return fields;
}

std::optional<ByteSpan> first_bytes(const PbFields& fields, std::uint32_t number) {
  for (const PbField& f : fields) {
    if (f.number == number && f.value.kind == PbValue::Kind::kBytes) return f.value.bytes;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> first_varint(const PbFields& fields, std::uint32_t number) {
  for (const PbField& f : fields) {
    if (f.number == number && f.value.kind == PbValue::Kind::kVarint) return f.value.varint;
  }
  return std::nullopt;
}

std::optional<std::uint64_t> last_varint(const PbFields& fields, std::uint32_t number) {
  std::optional<std::uint64_t> found;
  for (const PbField& f : fields) {
    if (f.number == number && f.value.kind == PbValue::Kind::kVarint) found = f.value.varint;
  }
  return found;
}

Result<std::optional<ByteSpan>> bytes_field(ByteSpan input, std::uint32_t number) {
  SV_ASSIGN_OR_RETURN(const PbFields fields, parse_fields(input));
  return first_bytes(fields, number);
}

void pb_varint_into(Bytes& out, std::uint32_t number, std::uint64_t value) {
  put_key(out, number, kWireVarint);
  put_varint(out, value);
}

void pb_bytes_into(Bytes& out, std::uint32_t number, ByteSpan value) {
  put_key(out, number, kWireBytes);
  put_varint(out, value.size());
  out.insert(out.end(), value.begin(), value.end());
}

std::size_t pb_size(std::span<const PbOut> fields) {
  std::size_t total = 0;
  for (const PbOut& f : fields) {
    std::size_t length = 0;
    switch (f.kind) {
      case PbOut::Kind::kVarint:
        total += key_size(f.number) + varint_size(f.value);
        continue;
      case PbOut::Kind::kBytes:
        length = f.bytes.size();
        break;
      case PbOut::Kind::kMessage:
        length = pb_size(f.fields);
        break;
      case PbOut::Kind::kReserved:
        length = static_cast<std::size_t>(f.value);
        break;
    }
    total += key_size(f.number) + varint_size(length) + length;
  }
  return total;
}

void pb_append(Bytes& out, std::span<const PbOut> fields) {
  for (const PbOut& f : fields) {
    switch (f.kind) {
      case PbOut::Kind::kVarint:
        pb_varint_into(out, f.number, f.value);
        break;
      case PbOut::Kind::kBytes:
        pb_bytes_into(out, f.number, f.bytes);
        break;
      case PbOut::Kind::kMessage:
        put_key(out, f.number, kWireBytes);
        put_varint(out, pb_size(f.fields));
        pb_append(out, f.fields);
        break;
      case PbOut::Kind::kReserved:
        put_key(out, f.number, kWireBytes);
        put_varint(out, f.value);
        break;
    }
  }
}

Bytes pb_varint(std::uint32_t number, std::uint64_t value) {
  Bytes out;
  pb_varint_into(out, number, value);
  return out;
}

Bytes pb_bytes(std::uint32_t number, ByteSpan value) {
  Bytes out;
  pb_bytes_into(out, number, value);
  return out;
}

}  // namespace sonvale::lyra
