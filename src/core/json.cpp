#include "core/json.h"

namespace sonvale {
namespace {

// The library's own tree builder, stopped as soon as a container opens one level too deep.
class DepthLimitedBuilder : public nlohmann::detail::json_sax_dom_parser<Json> {
  using Base = nlohmann::detail::json_sax_dom_parser<Json>;

 public:
  explicit DepthLimitedBuilder(Json* tree) : Base(*tree, /*allow_exceptions=*/false) {}

  bool start_object(std::size_t elements) { return enter() && Base::start_object(elements); }
  bool end_object() {
    --depth_;
    return Base::end_object();
  }
  bool start_array(std::size_t elements) { return enter() && Base::start_array(elements); }
  bool end_array() {
    --depth_;
    return Base::end_array();
  }

 private:
  bool enter() { return ++depth_ <= kMaxJsonDepth; }

  std::size_t depth_ = 0;
};

}  // namespace

std::optional<Json> parse_json_strict(ByteSpan text) {
  // The library skips a leading byte-order mark, which strict JSON does not allow.
  if (text.size() >= 3 && text[0] == 0xEF && text[1] == 0xBB && text[2] == 0xBF) {
    return std::nullopt;
  }
  Json root;
  DepthLimitedBuilder builder(&root);
  const bool ok = Json::sax_parse(text.begin(), text.end(), &builder,
                                  nlohmann::detail::input_format_t::json, /*strict=*/true);
  if (!ok || builder.is_errored()) return std::nullopt;
  return root;
}

}  // namespace sonvale
