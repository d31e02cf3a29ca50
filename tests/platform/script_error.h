// The error a resource script gives, as the tests of the host resource
// compiler compare it: "line: message", or "no error".
#pragma once

#include <string>

#include "rc_parser.h"

inline std::string errorOf(const std::string& script) {
  try {
    rc::readResourceScript(script);
  } catch (const rc::ScriptError& error) {
    return std::to_string(error.line()) + ": " + error.what();
  }
  return "no error";
}
