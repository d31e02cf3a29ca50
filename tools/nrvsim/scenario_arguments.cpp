#include "scenario_arguments.h"

#include <cctype>

namespace nrvsim {

uint64_t parseNumber(const Arguments& arguments, const std::string& text, const char* what, uint64_t minimum,
                     uint64_t maximum) {
  bool digits = !text.empty() && text.size() <= 12;
  for (char character : text) digits = digits && std::isdigit(static_cast<unsigned char>(character));
  uint64_t value = digits ? std::stoull(text) : 0;
  if (!digits || value < minimum || value > maximum) {
    arguments.fail(std::string(what) + " must be a number from " + std::to_string(minimum) + " to " +
                   std::to_string(maximum) + ", not '" + text + "'");
  }
  return value;
}

bool nameCharacter(char character) {
  return std::isalnum(static_cast<unsigned char>(character)) || character == '-' || character == '_';
}

std::string printerName(Arguments& arguments) {
  std::string name = arguments.next("a printer name");
  bool valid = !name.empty();
  for (char character : name) valid = valid && nameCharacter(character);
  if (!valid) arguments.fail("'" + name + "' is not a printer name (letters, digits, '-' and '_')");
  return name;
}

std::optional<uint64_t> hexOrDecimal(const std::string& text, size_t maxDigits) {
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  std::string digits = hex ? text.substr(2) : text;
  bool valid = !digits.empty() && digits.size() <= maxDigits;
  for (char character : digits) {
    valid = valid && (hex ? std::isxdigit(static_cast<unsigned char>(character)) != 0
                          : std::isdigit(static_cast<unsigned char>(character)) != 0);
  }
  if (!valid) return std::nullopt;
  return std::stoull(digits, nullptr, hex ? 16 : 10);
}

}  // namespace nrvsim
