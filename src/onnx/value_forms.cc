// The forms of each value in each layout, made when first needed.
#include <algorithm>
#include <cstring>

#include "onnx/converter.h"

namespace sarnic::onnx_import {

namespace {

// A constant of up to 4 dimensions, aligned to the right of 4 as
// broadcasting aligns it, with its axes in NHWC order.
NdArray ConstantToNhwc(const NdArray& a) {
  Shape s(4, 1);
  std::copy(a.shape().begin(), a.shape().end(), s.end() - a.ndim());
  const Shape out = ToNhwc(s);
  NdArray r = NdArray::Zeros(a.dtype(), out);
  const std::size_t item = a.itemsize();
  const std::byte* in = a.data();
  std::byte* o = r.mutable_data();
  for (int64_t n = 0; n < s[0]; ++n) {
    for (int64_t h = 0; h < s[2]; ++h) {
      for (int64_t w = 0; w < s[3]; ++w) {
        for (int64_t c = 0; c < s[1]; ++c) {
          const int64_t from = ((n * s[1] + c) * s[2] + h) * s[3] + w;
          std::memcpy(o, in + from * static_cast<int64_t>(item), item);
          o += item;
        }
      }
    }
  }
  return r;
}

}  // namespace

void ValueForms::Permuted(const std::string& name, const std::string& from,
                          const std::vector<int64_t>& perm, const Shape& out) {
  if (perm.size() != out.size()) {
    throw FormatError(c_.what(), "value '" + Printable(name) + "'",
                      "has " + std::to_string(out.size()) +
                          " dimensions for a permutation of " +
                          std::to_string(perm.size()));
  }
  // Moving only axes of size 1 keeps the order: a reshape, which moves
  // nothing.
  int64_t last = -1;
  bool keeps_order = true;
  for (std::size_t d = 0; d < perm.size(); ++d) {
    if (out[d] == 1) continue;
    keeps_order = keeps_order && perm[d] > last;
    last = perm[d];
  }
  if (keeps_order) {
    c_.Add(name, "reshape", out, {{"input", Value(from)}}, {from});
  } else {
    c_.Add(name, "transpose", out,
           {{"input", Value(from)}, {"axes", Value::IntList(perm)}}, {from});
  }
  form_shapes_[name] = out;
}

void ValueForms::SetTransposed(const std::string& v, const std::string& from,
                               std::vector<int64_t> perm) {
  held_[v] = {false, false};
  lazy_[v] = {from, std::move(perm)};
}

std::string ValueForms::Nchw(const std::string& value) {
  if (c_.ConstantOf(value) != nullptr) return value;
  const std::string& v = c_.Resolve(value);
  Held& h = held_[v];
  if (!h.nchw) {
    const auto lazy = lazy_.find(v);
    if (lazy != lazy_.end()) {
      Permuted(NchwName(v), lazy->second.from, lazy->second.perm,
               c_.OnnxShapeOf(v));
    } else {
      Permuted(NchwName(v), NhwcName(v), {0, 3, 1, 2}, c_.OnnxShapeOf(v));
    }
    h.nchw = true;
  }
  return NchwName(v);
}

std::string ValueForms::Nhwc(const std::string& value) {
  const std::string& v = c_.Resolve(value);
  if (const NdArray* data = c_.ConstantOf(v)) {
    if (data->size() == 1 || data->ndim() > 4) return v;
    const std::string name = NhwcName(v);
    if (c_.ConstantOf(name) == nullptr) {
      c_.SetConstant(name, ConstantToNhwc(*data));
      form_shapes_[name] = c_.ConstantOf(name)->shape();
    }
    return c_.Use(name);
  }
  if (HasNhwc(v)) return NhwcName(v);
  const Shape out = ToNhwc(c_.OnnxShapeOf(v));
  // A transpose not made yet is made in NHWC order directly, its
  // permutation composed with the layout's (none at all when they cancel).
  const auto lazy = lazy_.find(v);
  if (lazy != lazy_.end()) {
    const std::vector<int64_t>& p = lazy->second.perm;
    Permuted(NhwcName(v), lazy->second.from, {p[0], p[2], p[3], p[1]}, out);
  } else {
    Permuted(NhwcName(v), Nchw(v), {0, 2, 3, 1}, out);
  }
  held_[v].nhwc = true;
  return NhwcName(v);
}

void ValueForms::MarkNhwc(const std::string& value) {
  const std::string& v = c_.Resolve(value);
  held_[v] = {false, true};
  const Shape& s = c_.OnnxShapeOf(v);
  if (s.size() == 4) form_shapes_[NhwcName(v)] = ToNhwc(s);
}

const std::string& ValueForms::Form(const std::string& v,
                                    const char* suffix) const {
  const std::string key = v + suffix;
  auto it = forms_.find(key);
  if (it == forms_.end()) {
    it = forms_.emplace(key, c_.Fresh(key)).first;
    form_names_.insert(it->second);
  }
  return it->second;
}

bool ValueForms::HasNhwc(const std::string& value) const {
  const auto it = held_.find(c_.Resolve(value));
  return it != held_.end() && it->second.nhwc;
}

std::string ValueForms::NchwName(const std::string& value) const {
  const std::string& v = c_.Resolve(value);
  return nhwc_named_.count(v) ? Form(v, "/nchw") : v;
}

std::string ValueForms::NhwcName(const std::string& value) const {
  const std::string& v = c_.Resolve(value);
  return nhwc_named_.count(v) ? v : Form(v, "/nhwc");
}

const Shape* ValueForms::FormShape(const std::string& node) const {
  const auto it = form_shapes_.find(node);
  return it == form_shapes_.end() ? nullptr : &it->second;
}

}  // namespace sarnic::onnx_import
