#include "device/SummaryTable.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <sstream>

namespace devicecheck {

namespace {

const char* verdictText(Verdict v)
{
  switch (v) {
  case Verdict::Pass: return "PASS";
  case Verdict::Fail: return "FAIL";
  case Verdict::Info: return "INFO";
  case Verdict::Skipped: return "SKIP";
  }
  return "?";
}

std::string fixed(double v, int decimals)
{
  std::ostringstream o;
  o << std::fixed << std::setprecision(decimals) << v;
  return o.str();
}

} // namespace

void SummaryTable::add(std::string check, std::string result, Verdict verdict)
{
  rows_.push_back({std::move(check), std::move(result), verdict});
}

void SummaryTable::judge(std::string check, std::string result, bool ok)
{
  add(std::move(check), std::move(result), ok ? Verdict::Pass : Verdict::Fail);
}

void SummaryTable::skip(std::string check, const std::string& why) { add(std::move(check), why, Verdict::Skipped); }

bool SummaryTable::addText(const std::string& row)
{
  const size_t a = row.find('|');
  const size_t b = a == std::string::npos ? a : row.find('|', a + 1);
  if (b == std::string::npos || row.find('|', b + 1) != std::string::npos)
    return false;
  const std::string verdict = row.substr(b + 1);
  for (Verdict v : {Verdict::Pass, Verdict::Fail, Verdict::Info, Verdict::Skipped})
    if (verdict == verdictText(v)) {
      add(row.substr(0, a), row.substr(a + 1, b - a - 1), v);
      return true;
    }
  return false;
}

bool SummaryTable::failed() const
{
  return std::any_of(rows_.begin(), rows_.end(), [](const Row& r) { return r.verdict == Verdict::Fail; });
}

void SummaryTable::print(std::ostream& out) const
{
  size_t checkWidth = 5, resultWidth = 6;
  for (const Row& r : rows_) {
    checkWidth = std::max(checkWidth, r.check.size());
    resultWidth = std::max(resultWidth, r.result.size());
  }
  const std::string rule = "+-" + std::string(checkWidth, '-') + "-+-" + std::string(resultWidth, '-') + "-+------+";
  auto line = [&](const std::string& check, const std::string& result, const std::string& verdict) {
    out << "| " << std::left << std::setw(int(checkWidth)) << check << " | " << std::setw(int(resultWidth)) << result
        << " | " << std::setw(4) << verdict << " |\n";
  };
  out << rule << "\n";
  line("Check", "Result", "");
  out << rule << "\n";
  for (const Row& r : rows_)
    line(r.check, r.result, verdictText(r.verdict));
  out << rule << "\n";
  const long failures = std::count_if(rows_.begin(), rows_.end(), [](const Row& r) { return r.verdict == Verdict::Fail; });
  out << (failures ? std::to_string(failures) + " check(s) FAILED" : std::string("All checks passed")) << "\n";
}

std::string decibels(double db) { return std::isinf(db) ? std::string("inf dB") : fixed(db, 1) + " dB"; }

std::string duration(double ms) { return ms < 1000.0 ? fixed(ms, 1) + " ms" : fixed(ms / 1000.0, 2) + " s"; }

} // namespace devicecheck
