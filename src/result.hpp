#pragma once

#include <string>
#include <utility>
#include <variant>

namespace kelvaro {

// The error half of a `Result`, as `std::unexpected` spells it.
template <typename E>
struct Unexpected {
  E error;
};

template <typename E>
Unexpected<std::decay_t<E>> unexpected(E&& e) {
  return {std::forward<E>(e)};
}

// A value or an error: the subset of `std::expected` the program uses.
template <typename T, typename E = std::string>
class [[nodiscard]] Result {
 public:
  Result(const T& v) : data_(std::in_place_index<0>, v) {}
  Result(T&& v) : data_(std::in_place_index<0>, std::move(v)) {}
  template <typename U>
  Result(Unexpected<U> u) : data_(std::in_place_index<1>, std::move(u.error)) {}

  bool has_value() const { return data_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return std::get<0>(data_); }
  const T& value() const& { return std::get<0>(data_); }
  T&& value() && { return std::get<0>(std::move(data_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { return std::get<1>(data_); }
  const E& error() const& { return std::get<1>(data_); }
  E&& error() && { return std::get<1>(std::move(data_)); }

 private:
  std::variant<T, E> data_;
};

template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <typename U>
  Result(Unexpected<U> u) : error_(std::move(u.error)), ok_(false) {}

  bool has_value() const { return ok_; }
  explicit operator bool() const { return ok_; }
  void value() const {}

  E& error() & { return error_; }
  const E& error() const& { return error_; }

 private:
  E error_{};
  bool ok_ = true;
};

}  // namespace kelvaro
