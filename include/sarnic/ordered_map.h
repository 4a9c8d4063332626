// A text-keyed map that keeps insertion order, the order in which the export
// reads node attributes, tensors and external constants. Lookup of a missing
// key raises a KeyError that names the key and the map's owner.
#ifndef SARNIC_ORDERED_MAP_H_
#define SARNIC_ORDERED_MAP_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sarnic/errors.h"

namespace sarnic {

template <typename V>
class OrderedMap {
 public:
  using value_type = std::pair<std::string, V>;
  using iterator = typename std::vector<value_type>::iterator;
  using const_iterator = typename std::vector<value_type>::const_iterator;

  OrderedMap() = default;
  OrderedMap(std::initializer_list<value_type> items) {
    for (const auto& [k, v] : items) set(k, v);
  }

  // What the map belongs to, for error messages ("node 'conv1'").
  void set_owner(std::string owner) { owner_ = std::move(owner); }
  const std::string& owner() const { return owner_; }

  bool contains(const std::string& key) const { return find(key) != nullptr; }
  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }

  V* find(std::string_view key) {
    return const_cast<V*>(std::as_const(*this).find(key));
  }
  const V* find(std::string_view key) const {
    const std::size_t i = Position(key);
    return i == kMissing ? nullptr : &items_[i].second;
  }

  V& at(const std::string& key) {
    V* v = find(key);
    if (v == nullptr) ThrowMissing(key);
    return *v;
  }
  const V& at(const std::string& key) const {
    const V* v = find(key);
    if (v == nullptr) ThrowMissing(key);
    return *v;
  }

  // Sets the value of `key`; a new key goes to the end, an existing one keeps
  // its place.
  V& set(const std::string& key, V value) {
    if (V* v = find(key)) {
      *v = std::move(value);
      return *v;
    }
    items_.emplace_back(key, std::move(value));
    // The index is built once the map outgrows a scan, and kept from then.
    if (items_.size() > kScanned) {
      if (index_.empty()) {
        Reindex();
      } else {
        index_.emplace(key, items_.size() - 1);
      }
    }
    return items_.back().second;
  }

  // Removes `key` if present; later entries keep their relative order.
  void erase(const std::string& key) {
    const std::size_t i = Position(key);
    if (i == kMissing) return;
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
    index_.clear();
    if (items_.size() > kScanned) Reindex();
  }

  iterator begin() { return items_.begin(); }
  iterator end() { return items_.end(); }
  const_iterator begin() const { return items_.begin(); }
  const_iterator end() const { return items_.end(); }

  bool operator==(const OrderedMap& other) const {
    return items_ == other.items_;
  }

 private:
  static constexpr std::size_t kMissing = static_cast<std::size_t>(-1);
  std::size_t Position(std::string_view key) const {
    // A node's few attributes are found faster by looking than by hashing.
    if (index_.empty()) {
      for (std::size_t i = 0; i < items_.size(); ++i) {
        if (items_[i].first == key) return i;
      }
      return kMissing;
    }
    auto it = index_.find(std::string(key));
    return it == index_.end() ? kMissing : it->second;
  }
  void Reindex() {
    index_.clear();
    for (std::size_t i = 0; i < items_.size(); ++i) {
      index_.emplace(items_[i].first, i);
    }
  }
  [[noreturn]] void ThrowMissing(const std::string& key) const {
    std::string what = owner_.empty() ? "missing key '" + key + "'"
                                      : owner_ + " has no '" + key + "'";
    throw KeyError(key, what);
  }

  static constexpr std::size_t kScanned = 8;

  std::string owner_;
  std::vector<value_type> items_;
  // Key to position, for maps of more than kScanned items only.
  std::unordered_map<std::string, std::size_t> index_;
};

}  // namespace sarnic

#endif  // SARNIC_ORDERED_MAP_H_
