#include "DDImage/Op.h"
#include "DDImage/Node.h"

#include <cstdarg>
#include <cstdio>
#include <map>
#include <mutex>
#include <new>
#include <stdexcept>

namespace DD {
namespace Image {

namespace {

std::mutex& registryMutex()
{
  static std::mutex m;
  return m;
}

std::map<std::string, const Op::Description*>& registry()
{
  static std::map<std::string, const Op::Description*> r;
  return r;
}

std::string vformat(const char* fmt, va_list args)
{
  if (!fmt)
    return {};
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n <= 0)
    return {};
  std::string s(size_t(n) + 1, '\0');
  std::vsnprintf(&s[0], s.size(), fmt, args);
  s.resize(size_t(n));
  return s;
}

} // namespace

Op::Description::Description(const char* n, Constructor c, const char* stamp) : name(n), constructor(c), compiled(stamp)
{
  std::lock_guard<std::mutex> lock(registryMutex());
  registry()[name] = this;
}

Op::Description::~Description()
{
  std::lock_guard<std::mutex> lock(registryMutex());
  auto it = registry().find(name);
  if (it != registry().end() && it->second == this)
    registry().erase(it);
}

const Op::Description* Op::Description::find(const std::string& n)
{
  std::lock_guard<std::mutex> lock(registryMutex());
  auto it = registry().find(n);
  return it == registry().end() ? nullptr : it->second;
}

std::vector<std::string> Op::Description::names()
{
  std::lock_guard<std::mutex> lock(registryMutex());
  std::vector<std::string> v;
  for (auto& kv : registry())
    v.push_back(kv.first);
  return v;
}

Op::Op(Node* node) : node_(node) {}
Op::~Op() = default;

void* Op::operator new(size_t size) { return ::operator new(size); }
void Op::operator delete(void* p) { ::operator delete(p); }

void Op::knobs(Knob_Callback) {}
int Op::knob_changed(Knob*) { return 0; }
int Op::split_input(int) const { return 1; }

const OutputContext& Op::inputContext(int, int, OutputContext& out) const
{
  out = outputContext_;
  return out;
}

void Op::append(Hash&) {}

Knob* Op::knob(const char* name) const { return node_ && name ? node_->knob(name) : nullptr; }

Op* Op::input(int n) const { return n >= 0 && size_t(n) < inputs_.size() ? inputs_[n] : nullptr; }

void Op::set_input(int flatIndex, Op* op)
{
  if (flatIndex < 0)
    return;
  if (size_t(flatIndex) >= inputs_.size())
    inputs_.resize(size_t(flatIndex) + 1, nullptr);
  inputs_[flatIndex] = op;
}

void Op::set_hash(const Hash& h)
{
  if (h != hash_)
    invalidate();
  hash_ = h;
}

void Op::validate(bool for_real)
{
  if (valid_)
    return;
  clearError();
  opened_ = false;
  _validate(for_real);
  valid_ = true;
}

bool Op::tryValidate(bool for_real)
{
  try {
    validate(for_real);
  } catch (const std::exception& e) {
    error("%s", e.what());
    return false;
  } catch (...) {
    error("%s", "unknown failure during validation");
    return false;
  }
  return !hasError_;
}

void Op::invalidate()
{
  valid_ = false;
  opened_ = false;
  _invalidate();
}

void Op::open()
{
  if (opened_)
    return;
  _open();
  opened_ = !hasError_;
}

void Op::close()
{
  _close();
  opened_ = false;
}

bool Op::aborted() const { return node_ && node_->abortRequested(); }
bool Op::cancelled() const { return node_ && node_->isCancelled(); }

void Op::progressMessage(const char* fmt, ...)
{
  va_list args;
  va_start(args, fmt);
  std::string s = vformat(fmt, args);
  va_end(args);
  if (node_)
    node_->reportProgressMessage(s);
}

void Op::progressFraction(double fraction)
{
  if (node_)
    node_->reportProgressFraction(fraction);
}

void Op::progressDismiss()
{
  if (node_)
    node_->reportProgressDismiss();
}

void Op::error(const char* fmt, ...)
{
  va_list args;
  va_start(args, fmt);
  std::string s = vformat(fmt, args);
  va_end(args);
  hasError_ = true;
  errorMessage_ = s;
  if (node_)
    node_->setError(s);
}

void Op::clearError()
{
  hasError_ = false;
  errorMessage_.clear();
}

std::string Op::node_name() const { return node_ ? node_->name() : std::string(); }

void Op::_validate(bool) {}

} // namespace Image
} // namespace DD
