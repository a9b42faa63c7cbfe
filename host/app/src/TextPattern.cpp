#include "HostLayer/TextPattern.h"

#include <regex>

namespace HostLayer {

struct TextPattern::Compiled
{
  std::regex expression;
};

namespace {

TextPattern::Groups groupsOf(const std::smatch& m)
{
  TextPattern::Groups groups;
  groups.reserve(m.size());
  for (const auto& group : m)
    groups.push_back(group.matched ? std::optional<std::string>(group.str()) : std::nullopt);
  return groups;
}

} // namespace

TextPattern::TextPattern(const std::string& expression)
  : compiled_(new Compiled{std::regex(expression)})
{
}

TextPattern::~TextPattern() = default;

std::optional<TextPattern::Groups> TextPattern::match(const std::string& text) const
{
  std::smatch m;
  if (!std::regex_match(text, m, compiled_->expression))
    return std::nullopt;
  return groupsOf(m);
}

std::optional<TextPattern::Groups> TextPattern::search(const std::string& text) const
{
  std::smatch m;
  if (!std::regex_search(text, m, compiled_->expression))
    return std::nullopt;
  return groupsOf(m);
}

std::string TextPattern::replaceFirst(const std::string& text, const std::string& format) const
{
  return std::regex_replace(text, compiled_->expression, format, std::regex_constants::format_first_only);
}

} // namespace HostLayer
