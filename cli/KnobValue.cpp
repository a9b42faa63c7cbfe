#include "cli/KnobValue.h"

#include "cli/Options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

using namespace DD::Image;

namespace cli {

namespace {

std::string lower(std::string s)
{
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}

bool wholeNumber(const std::string& s, double& out)
{
  if (s.empty())
    return false;
  char* end = nullptr;
  errno = 0;
  out = std::strtod(s.c_str(), &end);
  return !errno && *end == '\0' && end != s.c_str() && std::isfinite(out);
}

} // namespace

double parseKnobNumber(const Knob& k, const std::string& text)
{
  const std::string what = "knob " + k.name() + "=" + text;
  double v = 0.0;
  switch (k.kind()) {
  case KnobKind::Bool: {
    const std::string t = lower(text);
    if (t == "on" || t == "true" || t == "1")
      return 1.0;
    if (t == "off" || t == "false" || t == "0")
      return 0.0;
    throw UsageError{what, "expected on, off, true, false, 1 or 0"};
  }
  case KnobKind::Enumeration: {
    const auto& items = k.items();
    for (size_t i = 0; i < items.size(); ++i)
      if (items[i] == text)
        return double(i);
    for (size_t i = 0; i < items.size(); ++i)
      if (lower(items[i]) == lower(text))
        return double(i);
    if (wholeNumber(text, v) && v == std::floor(v) && v >= 0 && v < double(items.size()))
      return v;
    std::string list;
    for (const auto& i : items)
      list += (list.empty() ? "'" : ", '") + i + "'";
    throw UsageError{what, "expected one of " + list + " or an index from 0 to " + std::to_string(items.size() - 1)};
  }
  case KnobKind::Int:
    if (!wholeNumber(text, v) || v != std::floor(v) || std::fabs(v) > 2147483647.0)
      throw UsageError{what, "expected a whole number"};
    return v;
  case KnobKind::Float:
    if (!wholeNumber(text, v) || std::fabs(v) > 3.4e38)
      throw UsageError{what, "expected a finite number"};
    return v;
  default:
    throw UsageError{what, "this knob holds no value that can be set"};
  }
}

} // namespace cli
