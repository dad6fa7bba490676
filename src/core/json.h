#pragma once

// Reading JSON from a peer or from standard input (RFC 8259).

#include <cstddef>
#include <optional>
#include <utility>

#include "core/byte_budget.h"
#include "core/bytes.h"
#include "core/event_sink.h"

namespace sonvale {

// Arrays and objects nested deeper than this are refused.
inline constexpr std::size_t kMaxJsonDepth = 128;
// What one JSON text may cost: a longer text, or one holding more values (every scalar, array and
// object counts; object keys do not), is refused. The phone's documents and the host's commands
// are a few hundred bytes; a tree of kMaxJsonValues values takes a few megabytes.
inline constexpr std::size_t kMaxJsonBytes = 1024 * 1024;
inline constexpr std::size_t kMaxJsonValues = 65536;
// What a tree is taken to cost while it is built: this much per value, plus the bytes of its
// strings and keys (what the library's tree of empty objects or of members takes, rounded up).
inline constexpr std::size_t kJsonValueCost = 160;
// A tree may cost this much of its own; beyond it, it draws on a budget shared with others (when
// the parse is given one), in steps of the same size.
inline constexpr std::size_t kJsonUnsharedCost = 256 * 1024;

// Empties every array and object of `value` from the leaves up and leaves it null, without
// allocating. The library's own destructor moves the children of a tree into a vector as large as
// its widest container, which can fail, and so end the process, once memory has run out.
// Containers nested deeper than kMaxJsonDepth are released by the library's destructor.
void dismantle_json(Json& value) noexcept;

// A JSON value read from untrusted text, or nothing: std::optional<Json> whose tree is taken apart
// with dismantle_json when it goes, so that releasing it never allocates.
class JsonTree {
 public:
  JsonTree() = default;
  explicit JsonTree(Json value, std::optional<ByteBudget::Reservation> cost = std::nullopt)
      : value_(std::move(value)), present_(true), cost_(std::move(cost)) {}
  JsonTree(JsonTree&& other) noexcept
      : value_(std::move(other.value_)),
        present_(std::exchange(other.present_, false)),
        cost_(std::move(other.cost_)) {}
  JsonTree& operator=(JsonTree&& other) noexcept {
    if (this != &other) {
      dismantle_json(value_);
      value_ = std::move(other.value_);
      present_ = std::exchange(other.present_, false);
      cost_ = std::move(other.cost_);
    }
    return *this;
  }
  JsonTree(const JsonTree&) = delete;
  JsonTree& operator=(const JsonTree&) = delete;
  // Takes the tree apart, then gives back what it took from a shared budget.
  ~JsonTree() { dismantle_json(value_); }

  bool has_value() const { return present_; }
  explicit operator bool() const { return present_; }
  // Only while has_value(). Moving the value out leaves null behind.
  Json& operator*() { return value_; }
  const Json& operator*() const { return value_; }
  Json* operator->() { return &value_; }
  const Json* operator->() const { return &value_; }

  // Makes `part`, a value inside this tree, the whole tree; the rest goes, taken apart. What the
  // tree took from a shared budget stays taken.
  void keep_only(Json& part) {
    Json kept = std::move(part);
    dismantle_json(value_);
    value_ = std::move(kept);
  }

  friend bool operator==(const JsonTree& tree, const std::optional<Json>& value) {
    return tree.present_ ? value.has_value() && tree.value_ == *value : !value.has_value();
  }

 private:
  Json value_;
  bool present_ = false;
  std::optional<ByteBudget::Reservation> cost_;  // released after value_ has been taken apart
};

// Strict JSON: exactly one value with only white space around it, no byte-order mark, at most
// kMaxJsonDepth levels of nested arrays and objects, at most kMaxJsonBytes of text and
// kMaxJsonValues values. With `shared`, a tree whose cost passes kJsonUnsharedCost takes the rest
// from it for as long as the tree lives, and is refused when that does not fit. Nothing for
// anything else; the reason is not reported. The parse is iterative and stops at the first level
// too deep, the first value too many or the first step of cost that does not fit, so no code runs
// recursively on the input's depth, here or later on the value it returns. When memory runs out
// while the tree is built, the part built so far is released without allocating and
// std::bad_alloc is thrown on.
JsonTree parse_json_strict(ByteSpan text, const ByteBudget* shared = nullptr);

}  // namespace sonvale
