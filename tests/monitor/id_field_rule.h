// The rule for one field of an IEEE 1284 device ID, written out with the
// standard library apart from the monitor's own code, for tests to check it
// against: the long key or else the short one, found anywhere; the value runs
// from the next ':' to the next ';' and is cut to 255 characters.
#pragma once

#include <optional>
#include <string>

inline std::optional<std::string> idFieldByRule(const std::string& id, const std::string& key,
                                                const std::string& shortKey) {
  size_t found = id.find(key);
  if (found == std::string::npos) found = id.find(shortKey);
  if (found == std::string::npos) return std::nullopt;
  size_t colon = id.find(':', found);
  if (colon == std::string::npos) return std::nullopt;
  return id.substr(colon + 1, id.find(';', colon + 1) - colon - 1).substr(0, 255);
}
