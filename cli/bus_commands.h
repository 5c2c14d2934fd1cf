// The companion's bus commands: `trellis watch` prints the agent's readings as they arrive, pause,
// quit and power-saving command the agent, and post puts any notification on the bus.
// Main thread only.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "model/value.h"

namespace trellis::cli {

// One notification as a JSON line: {"name": NAME, "userInfo": {...}} (userInfo null when none).
std::string jsonLine(std::string_view name, const std::optional<Dictionary>& userInfo);

// Gathers one sampling cycle's three readings into a readable line.
class CycleLine {
 public:
  // Takes a reading; returns the finished line when it completes a cycle (the fan reading, which
  // comes last), else nothing.
  std::optional<std::string> add(std::string_view name, const std::optional<Dictionary>& userInfo);

 private:
  std::optional<double> cpu_;
  std::optional<double> disk_;
};

// `text` safe to print on a terminal: control characters (C0, DEL and C1) as \xNN or \u00NN,
// bytes that are not UTF-8 as \xNN, a backslash doubled; the rest as it is.
std::string printable(std::string_view text);

// The readable text of a fan set dictionary: "2 fans: Left 2160 rpm (1200-6156), ...".
std::string describeFans(const Value* fanSet);

}  // namespace trellis::cli
