// An output stream that hands on each complete line written to it, so what a
// command prints can become live events; what is left unfinished goes at the end.
#pragma once

#include <functional>
#include <ostream>
#include <streambuf>
#include <string>

namespace brimvale::app {

class LineBuffer : public std::streambuf {
 public:
  explicit LineBuffer(std::function<void(const std::string&)> onLine)
      : onLine_(std::move(onLine)) {}
  ~LineBuffer() override {
    if (!pending_.empty()) onLine_(pending_);
  }

 protected:
  int_type overflow(int_type c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    if (c == '\n') {
      onLine_(pending_);
      pending_.clear();
    } else {
      pending_ += static_cast<char>(c);
    }
    return c;
  }

 private:
  std::function<void(const std::string&)> onLine_;
  std::string pending_;
};

}  // namespace brimvale::app
