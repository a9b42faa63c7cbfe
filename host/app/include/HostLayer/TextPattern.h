#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace HostLayer {

// A regular expression (ECMAScript grammar), parsed once, when constructed.
// Every caller goes through this one class, so that <regex>, whose templates
// take the compiler longer than anything else here, is compiled in one file.
class TextPattern
{
public:
  // Throws std::regex_error for an expression that is not one.
  explicit TextPattern(const std::string& expression);
  ~TextPattern();
  TextPattern(const TextPattern&) = delete;
  TextPattern& operator=(const TextPattern&) = delete;

  // The groups of a match: [0] the whole match, then each group in order;
  // a group that took no part is std::nullopt.
  using Groups = std::vector<std::optional<std::string>>;

  // The groups when the whole of `text` matches, otherwise std::nullopt.
  std::optional<Groups> match(const std::string& text) const;
  // The groups of the first match anywhere in `text`, otherwise std::nullopt.
  std::optional<Groups> search(const std::string& text) const;
  // `text` with its first match replaced by `format`, in which $1, $2... stand
  // for the groups; `text` itself when nothing matches.
  std::string replaceFirst(const std::string& text, const std::string& format) const;

private:
  struct Compiled;
  std::unique_ptr<Compiled> compiled_;
};

} // namespace HostLayer
