#pragma once

#include <exception>
#include <iostream>
#include <ostream>
#include <string>
#include <vector>

namespace devicecheck {

enum class Verdict { Pass, Fail, Info, Skipped };

// The checks' results, printed as one table at the end.
class SummaryTable {
public:
  void add(std::string check, std::string result, Verdict verdict);
  // A check that judges: PASS when `ok`, else FAIL.
  void judge(std::string check, std::string result, bool ok);
  // A check that did not run; `why` reads like "skipped: no GPU".
  void skip(std::string check, const std::string& why);
  // A row given as "CHECK|RESULT|VERDICT" (VERDICT: PASS, FAIL, INFO or SKIP);
  // false when the text does not read so.
  bool addText(const std::string& row);

  bool failed() const;
  void print(std::ostream& out) const;

private:
  struct Row {
    std::string check;
    std::string result;
    Verdict verdict;
  };
  std::vector<Row> rows_;
};

// Announces the check `name` on stdout and runs it; an exception it throws
// becomes a FAIL row of that name.
template <class Check>
void runCheck(SummaryTable& table, const std::string& name, Check&& check)
{
  std::cout << "-- " << name << std::endl;
  try {
    check();
  } catch (const std::exception& e) {
    table.judge(name, e.what(), false);
  }
}

// "41.3 dB", "inf dB" for identical images.
std::string decibels(double db);
// "12.3 ms", "1.25 s".
std::string duration(double ms);

} // namespace devicecheck
