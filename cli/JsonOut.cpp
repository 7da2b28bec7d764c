#include "JsonOut.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace vxcli {

nlohmann::json JsonNumber(double value) {
  if (!std::isfinite(value)) return nullptr;
  return value;
}

nlohmann::ordered_json FloatJson(float v) {
  if (!std::isfinite(v)) return nullptr;
  char buf[32];
  auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  return std::strtod(std::string(buf, end).c_str(), nullptr);
}

// Invalid UTF-8 is replaced rather than thrown on: a file name is whatever
// bytes the file system holds.
std::string DumpJson(const nlohmann::json& value, int indent) {
  return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string DumpJson(const nlohmann::ordered_json& value, int indent) {
  return value.dump(indent, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace vxcli
