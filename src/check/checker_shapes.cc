// The checker's rules about shapes: arrays against output_shape, reshapes,
// broadcasts, concatenations and reductions.
#include <algorithm>
#include <limits>
#include <set>

#include "check/checker_rules.h"

namespace sarnic::checker {

void ArrayShape(Context& c, uint32_t n) {
  const OpSpec* spec = c.SpecOf(n);
  if (spec == nullptr || (spec->op != "constant" && spec->op != "variable")) {
    return;
  }
  const NdArray* a = c.graph().tensor_dict.find(c.g().name_of(n));
  const Shape* shape = c.OwnShape(n);
  if (a == nullptr || !shape || *shape == a->shape()) return;
  c.Add(n, "output_shape",
        "is " + ShapeText(*shape) + " but the node's array in tensor_dict is " +
            ShapeText(a->shape()));
}

namespace {

std::optional<int64_t> Count(const Shape& s) {
  int64_t count = 1;
  for (int64_t d : s) {
    if (d <= 0 || count > std::numeric_limits<int64_t>::max() / d) {
      return std::nullopt;
    }
    count *= d;
  }
  return count;
}

}  // namespace

void Reshape(Context& c, uint32_t n) {
  const OpSpec* spec = c.SpecOf(n);
  if (spec == nullptr || spec->op != "reshape") return;
  const std::string* input = c.InputName(n, "input");
  if (input == nullptr) return;
  const auto out = c.OwnShape(n);
  const auto in = c.ShapeOf(*input);
  if (!out || !in) return;
  const auto out_count = Count(*out), in_count = Count(*in);
  if (!out_count || !in_count || *out_count == *in_count) return;
  c.Add(n, "output_shape",
        ShapeText(*out) + " holds " + std::to_string(*out_count) +
            " elements but its input '" + *input + "' " + ShapeText(*in) +
            " holds " + std::to_string(*in_count));
}

namespace {}  // namespace

void BroadcastShape(Context& c, uint32_t n) {
  const auto inputs = ElementwiseInputs(c, n);
  if (inputs.empty()) return;
  const auto out = c.OwnShape(n);
  if (!out) return;
  std::optional<Shape> expected = Shape{};
  for (const auto& [attr, name] : inputs) {
    const auto s = c.ShapeOf(name);
    if (!s) return;
    if (expected) expected = BroadcastShapes(*expected, *s);
  }
  if (expected && *expected == *out) return;
  // The inputs' shapes are written out only for a message.
  std::string shapes;
  for (const auto& [attr, name] : inputs) {
    shapes += (shapes.empty() ? "" : " and ") + ShapeText(*c.ShapeOf(name));
  }
  if (!expected) {
    return c.Add(n, inputs.front().first,
                 "the input shapes " + shapes + " do not broadcast");
  }
  c.Add(n, "output_shape",
        "is " + ShapeText(*out) + " but the inputs " + shapes +
            " broadcast to " + ShapeText(*expected));
}

void Concat(Context& c, uint32_t n) {
  const OpSpec* spec = c.SpecOf(n);
  if (spec == nullptr || spec->op != "concat") return;
  const AttrDict& node = c.g().attrs_of(n);
  const Value* values = node.find("values");
  const Value* axis_value = node.find("axis");
  const auto out = c.OwnShape(n);
  if (values == nullptr || !values->is_list() || axis_value == nullptr ||
      !IsIntegral(*axis_value) || !out) {
    return;
  }
  const auto rank = static_cast<int64_t>(out->size());
  const std::optional<int64_t> normal = NormalAxis(
      axis_value->is_real() ? static_cast<int64_t>(axis_value->as_real())
                            : axis_value->as_int(),
      out->size());
  if (!normal) {
    return c.Add(n, "axis",
                 axis_value->repr() + " is outside the " +
                     std::to_string(rank) + " dimensions of the output");
  }
  const int64_t axis = *normal;
  int64_t sum = 0;
  for (const Value& v : values->as_list()) {
    const Shape* s = v.is_text() ? c.ShapeOf(v.as_text()) : nullptr;
    if (!s) return;
    for (int64_t d = 0; d < rank; ++d) {
      if (static_cast<int64_t>(s->size()) != rank ||
          (d != axis && (*s)[d] != (*out)[d])) {
        return c.Add(n, "values",
                     "part '" + v.as_text() + "' " + ShapeText(*s) +
                         " disagrees with the output " + ShapeText(*out) +
                         " off the axis " + std::to_string(axis));
      }
    }
    sum += (*s)[axis];
  }
  if (sum != (*out)[axis]) {
    c.Add(n, "output_shape",
          "has " + std::to_string((*out)[axis]) + " along the axis " +
              std::to_string(axis) + " but the parts add up to " +
              std::to_string(sum));
  }
}

// The output keeps the reduced axes (as dimensions of 1) when the node's
// keep_dims says so, drops them when it says not; without keep_dims either
// rank is taken.
void ReductionRank(Context& c, uint32_t n) {
  const OpSpec* spec = c.SpecOf(n);
  if (spec == nullptr || spec->family != "reduction") return;
  const std::string* input = c.InputName(n, "input");
  const auto axes = Context::Ints(c.g().attrs_of(n).find("axes"));
  if (input == nullptr || !axes) return;
  const auto in = c.ShapeOf(*input);
  const auto out = c.OwnShape(n);
  if (!in || !out) return;
  std::set<int64_t> reduced;
  for (int64_t a : *axes) {
    // An axis out of range is the layer's own refusal; it counts as given.
    reduced.insert(NormalAxis(a, in->size()).value_or(a));
  }
  const std::size_t kept = in->size();
  const std::size_t dropped = kept - std::min(kept, reduced.size());
  const Value* keep_dims = c.g().attrs_of(n).find("keep_dims");
  if (keep_dims == nullptr && (out->size() == kept || out->size() == dropped)) {
    return;
  }
  const bool keep = keep_dims != nullptr && keep_dims->truthy();
  const std::size_t expected = keep ? kept : dropped;
  if (keep_dims != nullptr && out->size() == expected) return;
  c.Add(
      n, "output_shape",
      ShapeText(*out) + " has rank " + std::to_string(out->size()) +
          " but reducing " + std::to_string(reduced.size()) + " axes of " +
          ShapeText(*in) +
          (keep_dims == nullptr ? " gives rank " + std::to_string(kept) +
                                      " or " + std::to_string(dropped)
                                : std::string(keep ? " keeping" : " dropping") +
                                      " them (keep_dims) gives rank " +
                                      std::to_string(expected)));
}

}  // namespace sarnic::checker
