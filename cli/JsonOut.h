// Numbers and documents in the JSON the commands print.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace vxcli {

// A number for JSON output; NaN and infinities become null.
nlohmann::json JsonNumber(double value);

// A float parameter as its shortest decimal form (0.15, not 0.15000000596...),
// so that the printed value read back gives the same float; null when not finite.
nlohmann::ordered_json FloatJson(float v);

// Serialises with a final newline: `indent` spaces per level, or on one line
// when negative. Non-finite numbers that reach it are written as null.
std::string DumpJson(const nlohmann::json& value, int indent = 2);
// The same for objects whose keys must keep their insertion order.
std::string DumpJson(const nlohmann::ordered_json& value, int indent = 2);

}  // namespace vxcli
