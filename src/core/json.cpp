#include "core/json.h"

#include <array>
#include <iterator>
#include <new>

namespace sonvale {
namespace {

// The library's own tree builder, stopped as soon as a container opens one level too deep, the
// text holds one value too many, or the tree's cost passes what it may take.
class BudgetedBuilder : public nlohmann::detail::json_sax_dom_parser<Json> {
  using Base = nlohmann::detail::json_sax_dom_parser<Json>;

 public:
  BudgetedBuilder(Json* tree, const ByteBudget* shared)
      : Base(*tree, /*allow_exceptions=*/false), shared_(shared) {}

  bool null() { return value() && Base::null(); }
  bool boolean(bool v) { return value() && Base::boolean(v); }
  bool number_integer(Json::number_integer_t v) { return value() && Base::number_integer(v); }
  bool number_unsigned(Json::number_unsigned_t v) { return value() && Base::number_unsigned(v); }
  bool number_float(Json::number_float_t v, const std::string& s) {
    return value() && Base::number_float(v, s);
  }
  bool string(std::string& v) { return value(v.size()) && Base::string(v); }
  bool binary(Json::binary_t& v) { return value(v.size()) && Base::binary(v); }
  bool key(std::string& k) { return charge(k.size()) && Base::key(k); }
  bool start_object(std::size_t elements) {
    return value() && enter() && Base::start_object(elements);
  }
  bool end_object() {
    --depth_;
    return Base::end_object();
  }
  bool start_array(std::size_t elements) {
    return value() && enter() && Base::start_array(elements);
  }
  bool end_array() {
    --depth_;
    return Base::end_array();
  }

  // What the tree took from the shared budget.
  std::optional<ByteBudget::Reservation> take_cost() { return std::move(cost_); }

 private:
  bool enter() { return ++depth_ <= kMaxJsonDepth; }
  bool value(std::size_t extra = 0) {
    return ++values_ <= kMaxJsonValues && charge(kJsonValueCost + extra);
  }
  bool charge(std::size_t bytes) {
    spent_ += bytes;
    if (shared_ == nullptr) return true;
    while (spent_ > covered_) {
      const bool taken = cost_ ? cost_->grow(kJsonUnsharedCost)
                               : (cost_ = shared_->reserve(kJsonUnsharedCost)).has_value();
      if (!taken) return false;
      covered_ += kJsonUnsharedCost;
    }
    return true;
  }

  const ByteBudget* shared_;
  std::optional<ByteBudget::Reservation> cost_;
  std::size_t spent_ = 0;
  std::size_t covered_ = kJsonUnsharedCost;
  std::size_t depth_ = 0;
  std::size_t values_ = 0;
};

bool nonempty_container(const Json& value) { return value.is_structured() && !value.empty(); }

}  // namespace

void dismantle_json(Json& value) noexcept {
  if (!nonempty_container(value)) {
    value = nullptr;  // releases a scalar or an empty container, neither of which allocates
    return;
  }
  // The containers from `value` down to the one being emptied; each entry is the last child of
  // the entry before it.
  std::array<Json*, kMaxJsonDepth + 1> path{};
  std::size_t depth = 0;
  path[depth++] = &value;
  while (depth > 0) {
    Json& top = *path[depth - 1];
    if (top.empty()) {
      --depth;  // its parent removes it next, as a leaf
      continue;
    }
    if (top.is_array()) {
      auto& items = top.get_ref<Json::array_t&>();
      if (nonempty_container(items.back()) && depth < path.size()) {
        path[depth++] = &items.back();
      } else {
        items.pop_back();
      }
    } else {
      auto& members = top.get_ref<Json::object_t&>();
      const auto last = std::prev(members.end());
      if (nonempty_container(last->second) && depth < path.size()) {
        path[depth++] = &last->second;
      } else {
        members.erase(last);
      }
    }
  }
  value = nullptr;
}

JsonTree parse_json_strict(ByteSpan text, const ByteBudget* shared) {
  if (text.size() > kMaxJsonBytes) return {};
  // The library skips a leading byte-order mark, which strict JSON does not allow.
  if (text.size() >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF) return {};
  Json root;
  std::optional<ByteBudget::Reservation> cost;
  try {
    BudgetedBuilder builder(&root, shared);
    const bool ok = Json::sax_parse(text.begin(), text.end(), &builder,
                                    nlohmann::detail::input_format_t::json, /*strict=*/true) &&
                    !builder.is_errored();
    cost = builder.take_cost();
    if (!ok) {
      dismantle_json(root);  // the part built so far
      return {};
    }
  } catch (const std::bad_alloc&) {
    dismantle_json(root);
    throw;  // rethrows the same exception object: nothing is allocated for it
  }
  return JsonTree(std::move(root), std::move(cost));
}

}  // namespace sonvale
