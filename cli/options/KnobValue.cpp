#include "cli/options/KnobValue.h"

#include "cli/options/Options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

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

// An enumeration's item by its text (any case) or, for items that are
// numbers ("1.0", "0.5"), by its value; a whole number is an index only
// where no item is a number, so that "1" never silently means the second
// of "1.0", "0.5", "0.25".
double enumerationItem(const std::vector<std::string>& items, const std::string& text, const std::string& what)
{
  for (size_t i = 0; i < items.size(); ++i)
    if (items[i] == text)
      return double(i);
  for (size_t i = 0; i < items.size(); ++i)
    if (lower(items[i]) == lower(text))
      return double(i);
  double v = 0.0, item = 0.0;
  const bool number = wholeNumber(text, v);
  bool numericItems = false;
  for (size_t i = 0; i < items.size(); ++i) {
    if (wholeNumber(items[i], item)) {
      numericItems = true;
      if (number && item == v)
        return double(i);
    }
  }
  std::string list;
  for (const auto& i : items)
    list += (list.empty() ? "'" : ", '") + i + "'";
  if (numericItems)
    throw UsageError{what, "expected one of " + list};
  if (number && v == std::floor(v) && v >= 0 && v < double(items.size()))
    return v;
  throw UsageError{what, "expected one of " + list + " or an index from 0 to " + std::to_string(items.size() - 1)};
}

// The int knobs whose meaning bounds them; the node would clamp or ignore
// what lies outside, so the command line refuses it.
struct IntRange {
  const char* knob;
  double low, high;
  const char* meaning;
};
constexpr IntRange kIntRanges[] = {
  {"steps", 1, 6, "sub-steps per frame"},
  {"nan_error_threshold", 0, 100, "a percentage of NaN values; 100 switches the guard off"},
  {"max_size", 1, 2147483647, "the tile side in pixels"},
  {"overlap", 0, 2147483647, "pixels"},
  {"padding", 0, 2147483647, "pixels"},
  {"cuda_deviceid", 0, 2147483647, "a CUDA device index"},
};

void checkRange(const std::string& knob, double v, const std::string& what)
{
  for (const IntRange& r : kIntRanges) {
    if (knob != r.knob || (v >= r.low && v <= r.high))
      continue;
    const std::string range = r.high < 2147483647 ? "from " + std::to_string(int(r.low)) + " to " +
                                                      std::to_string(int(r.high))
                                                  : "of at least " + std::to_string(int(r.low));
    throw UsageError{what, "expected a whole number " + range + " (" + r.meaning + ")"};
  }
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
  case KnobKind::Enumeration:
    return enumerationItem(k.items(), text, what);
  case KnobKind::Int:
    if (!wholeNumber(text, v) || v != std::floor(v) || std::fabs(v) > 2147483647.0)
      throw UsageError{what, "expected a whole number"};
    checkRange(k.name(), v, what);
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
