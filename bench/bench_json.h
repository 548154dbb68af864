#pragma once
// Just enough JSON output for the result files: nested objects and arrays written in order.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace kov::bench {

class Json {
 public:
  Json& Open(const std::string& key = {}) { return Begin(key, '{'); }
  Json& OpenArray(const std::string& key = {}) { return Begin(key, '['); }
  Json& Close() {
    const char closer = stack_.back() == '{' ? '}' : ']';
    stack_.pop_back();
    text_ += "\n" + Indent() + closer;
    first_ = false;
    return *this;
  }
  Json& Add(const std::string& key, const std::string& value) { return Raw(key, Quote(value)); }
  Json& Add(const std::string& key, const char* value) { return Add(key, std::string(value)); }
  Json& Add(const std::string& key, double value) {
    if (!std::isfinite(value)) return Raw(key, "null");
    char number[64];
    std::snprintf(number, sizeof number, "%.6g", value);
    return Raw(key, number);
  }
  Json& Add(const std::string& key, int64_t value) { return Raw(key, std::to_string(value)); }
  Json& Add(const std::string& key, uint64_t value) { return Raw(key, std::to_string(value)); }
  Json& Add(const std::string& key, int value) { return Raw(key, std::to_string(value)); }
  Json& Add(const std::string& key, bool value) { return Raw(key, value ? "true" : "false"); }

  const std::string& Text() const { return text_; }

 private:
  Json& Begin(const std::string& key, char opener) {
    Raw(key, std::string(1, opener));
    stack_.push_back(opener);
    first_ = true;
    return *this;
  }
  Json& Raw(const std::string& key, const std::string& value) {
    if (!stack_.empty()) {
      text_ += first_ ? "\n" : ",\n";
      text_ += Indent();
    }
    if (!stack_.empty() && stack_.back() == '{') text_ += Quote(key) + ": ";
    text_ += value;
    first_ = false;
    return *this;
  }
  std::string Indent() const { return std::string(stack_.size() * 2, ' '); }
  static std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c < 32) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\u%04x", c);
        out += hex;
      } else {
        out += static_cast<char>(c);
      }
    }
    return out + "\"";
  }

  std::string text_;
  std::vector<char> stack_;
  bool first_ = true;
};

}  // namespace kov::bench
