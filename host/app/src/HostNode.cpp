#include "HostLayer/HostNode.h"

#include "DDImage/Iop.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

using namespace DD::Image;

namespace HostLayer {

namespace {
constexpr size_t kSourceCacheSize = 16;
// Frames waiting to be read ahead, at most: what two acquires ask for.
constexpr size_t kReadAheadQueue = 4;
// Set on a node's read-ahead thread, whose failures are not the node's to report.
thread_local bool readingAheadOnThisThread = false;
}

Knob* HostNode::addKnob(KnobKind kind, const std::string& name, const std::string& label, bool& created)
{
  std::unique_ptr<Knob> k;
  if (!name.empty()) {
    // Keep a knob of the same name from an earlier declaration: its value,
    // animation and channels survive a rebuilt panel.
    auto it = std::find_if(knobStore_.begin(), knobStore_.end(),
                           [&](const std::unique_ptr<Knob>& p) { return p && p->name() == name && p->kind() == kind; });
    if (it != knobStore_.end()) {
      k = std::move(*it);
      knobStore_.erase(it);
      k->label(label);
      k->clear_flag(~Knob::FlagMask(0));
    }
  }
  created = !k;
  if (!k)
    k.reset(new Knob(kind, name, label));
  if (kind != KnobKind::Divider && kind != KnobKind::Tab && kind != KnobKind::EndGroup)
    k->set_flag(Knob::STARTLINE);
  k->node(this);
  Knob* added = k.get();
  knobOrder_.push_back(added);
  if (!name.empty())
    knobByName_[name] = added;
  newKnobs_.push_back(std::move(k));
  return added;
}

std::unique_ptr<HostNode> HostNode::create(const std::string& className, const std::string& name)
{
  const Op::Description* d = Op::Description::find(className);
  if (!d)
    throw std::runtime_error("unknown node class '" + className + "'");
  Op::Constructor ctor = d->constructor;
  std::unique_ptr<HostNode> node(new HostNode(name, [ctor](Node* n) { return ctor(n); }, d));
  return node;
}

HostNode::HostNode(std::string name, Factory factory) : HostNode(std::move(name), std::move(factory), nullptr) {}

HostNode::HostNode(std::string name, Factory factory, const Op::Description* description)
  : name_(std::move(name)), factory_(std::move(factory)), description_(description)
{
  first_ = buildOp();
  if (description_) {
    pool_.push_back(first_);
    idle_.push_back(first_);
  }
  rebuildKnobs();
}

HostNode::~HostNode()
{
  waitForReadAhead();
  for (Op* op : pool_)
    delete op;
  for (auto& kv : cache_)
    delete kv.second.op;
  if (!description_)
    delete first_;
}

Op* HostNode::buildOp()
{
  Op* op = factory_(this);
  if (!op)
    throw std::runtime_error("node '" + name_ + "': the build function returned no operator");
  return op;
}

void HostNode::rebuildKnobs()
{
  knobOrder_.clear();
  knobByName_.clear();
  newKnobs_.clear();
  declareKnobs(*first_, frame_);
  // Knobs no longer declared are dropped; the declared ones are kept in order.
  knobStore_ = std::move(newKnobs_);
  newKnobs_.clear();
}

Knob* HostNode::knob(const std::string& name) const
{
  auto it = knobByName_.find(name);
  return it == knobByName_.end() ? nullptr : it->second;
}

void HostNode::storeKnobs(Op* op, double frame)
{
  auto lock = lockKnobs();
  storeKnobValues(*op, frame);
}

void HostNode::changed(Knob* k)
{
  {
    auto knobsLock = lockKnobs();
    // The panel's operator sees the knob values and inputs at the timeline frame.
    first_->setOutputContext(OutputContext(frame_));
    storeKnobs(first_, frame_);
    connectInputs(first_);
    first_->knob_changed(k);
  }
  // Other pooled operators would keep state the change reset: drop them.
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Op*> keep;
  for (Op* op : pool_) {
    bool idle = std::find(idle_.begin(), idle_.end(), op) != idle_.end();
    if (op != first_ && idle) {
      idle_.erase(std::find(idle_.begin(), idle_.end(), op));
      delete op;
    } else {
      keep.push_back(op);
    }
  }
  pool_ = keep;
}

void HostNode::showPanel() { changed(&Knob::showPanel); }

void HostNode::setValue(Knob* k, double v)
{
  {
    auto lock = lockKnobs();
    k->set_value(v);
  }
  changed(k);
}

void HostNode::setKey(Knob* k, double frame, double v)
{
  {
    auto lock = lockKnobs();
    k->set_value_at(v, frame);
  }
  changed(k);
}

void HostNode::setChannels(Knob* k, const ChannelSet& c)
{
  {
    auto lock = lockKnobs();
    k->channels(c);
  }
  changed(k);
}

void HostNode::setInput(int n, HostNode* source)
{
  if (n < 0)
    return;
  if (size_t(n) >= inputs_.size())
    inputs_.resize(size_t(n) + 1, nullptr);
  inputs_[n] = source;
}

HostNode* HostNode::input(int n) const { return n >= 0 && size_t(n) < inputs_.size() ? inputs_[n] : nullptr; }

Hash HostNode::knobHash(double frame) const
{
  Hash h;
  h.append(name_);
  h.append(frame);
  for (const Knob* k : knobOrder_) {
    if (k->name().empty())
      continue;
    h.append(k->name());
    h.append(k->get_value_at(frame));
    std::ostringstream channels;
    channels << k->channels();
    h.append(channels.str());
  }
  return h;
}

void HostNode::connectInputs(Op* op)
{
  int flat = 0;
  int count = std::max<int>(op->maximum_inputs(), int(inputs_.size()));
  for (int n = 0; n < count; ++n) {
    int copies = std::max(1, op->split_input(n));
    for (int offset = 0; offset < copies; ++offset, ++flat) {
      HostNode* source = input(n);
      OutputContext ctx;
      op->inputContext(n, offset, ctx);
      Op* previous = op->input(flat);
      Op* next = source ? source->acquire(ctx) : nullptr;
      op->set_input(flat, next);
      // Every node of this host is a HostNode.
      if (auto* from = previous ? dynamic_cast<HostNode*>(previous->node()) : nullptr)
        from->release(previous);
    }
  }
}

void HostNode::refresh(Op* op)
{
  auto lock = lockKnobs();
  storeKnobs(op, op->outputContext().frame());
  connectInputs(op);
  Hash h = knobHash(op->outputContext().frame());
  for (int i = 0; i < op->inputs(); ++i) {
    Op* in = op->input(i);
    h.append(in ? in->hash().value() : uint64_t(0));
    h.append(in ? in->outputContext().frame() : 0.0);
  }
  op->append(h);
  op->set_hash(h);
}

Op* HostNode::acquire(const OutputContext& ctx)
{
  if (description_) {
    Op* op = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (idle_.empty()) {
        op = buildOp();
        pool_.push_back(op);
      } else {
        op = idle_.back();
        idle_.pop_back();
      }
    }
    op->setOutputContext(ctx);
    refresh(op);
    return op;
  }

  return acquireCached(ctx, true);
}

Op* HostNode::acquireCached(const OutputContext& ctx, bool mayReadAhead)
{
  std::unique_lock<std::mutex> lock(mutex_);
  auto it = cache_.find(ctx.frame());
  const bool made = it == cache_.end();
  if (made) {
    makeRoomInCache();
    Op* op = buildOp();
    op->setOutputContext(ctx);
    storeKnobs(op, ctx.frame());
    connectInputs(op);
    Hash h = knobHash(ctx.frame());
    op->append(h);
    op->set_hash(h);
    // Validated once here, so that threads sharing it only read it afterwards.
    op->tryValidate(true);
    it = cache_.emplace(ctx.frame(), Cached{op, 0, 0}).first;
  }
  it->second.users++;
  it->second.lastUse = ++useCounter_;
  Op* op = it->second.op;
  // A new operator is prepared too: while its user gets ready to fetch.
  std::vector<double> ahead;
  if (mayReadAhead && readAheadPrepare_) {
    if (made)
      ahead.push_back(ctx.frame());
    if (cache_.count(ctx.frame() + 1.0) == 0)
      ahead.push_back(ctx.frame() + 1.0);
  }
  lock.unlock();
  ahead.erase(std::remove_if(ahead.begin(), ahead.end(), [this](double f) { return !readAheadWanted_(f); }),
              ahead.end());
  if (!ahead.empty())
    startReadAhead(ahead);
  return op;
}

void HostNode::makeRoomInCache()
{
  auto bytesOf = [this](const Cached& c) { return cacheMeasure_ ? cacheMeasure_(c.op) : size_t(0); };
  for (;;) {
    size_t held = 0, largest = 0;
    auto victim = cache_.end();
    for (auto c = cache_.begin(); c != cache_.end(); ++c) {
      const size_t bytes = bytesOf(c->second);
      held += bytes;
      largest = std::max(largest, bytes);
      if (c->second.users == 0 && (victim == cache_.end() || c->second.lastUse < victim->second.lastUse))
        victim = c;
    }
    // The next frame is expected to be as large as the largest one held.
    const bool full = cache_.size() >= kSourceCacheSize || held + largest > cacheLimit_;
    if (!full || victim == cache_.end())
      return;
    delete victim->second.op;
    cache_.erase(victim);
  }
}

void HostNode::setCacheMeasure(std::function<size_t(const Op*)> measure)
{
  std::lock_guard<std::mutex> lock(mutex_);
  cacheMeasure_ = std::move(measure);
}

void HostNode::setCacheLimit(size_t bytes)
{
  std::lock_guard<std::mutex> lock(mutex_);
  cacheLimit_ = bytes;
}

void HostNode::setReadAhead(std::function<bool(double)> wanted, std::function<void(Op*)> prepare)
{
  waitForReadAhead();
  std::lock_guard<std::mutex> lock(mutex_);
  readAheadWanted_ = std::move(wanted);
  readAheadPrepare_ = std::move(prepare);
}

void HostNode::startReadAhead(const std::vector<double>& frames)
{
  std::lock_guard<std::mutex> lock(readAheadMutex_);
  for (double frame : frames)
    if (std::find(readAheadQueue_.begin(), readAheadQueue_.end(), frame) == readAheadQueue_.end())
      readAheadQueue_.push_back(frame);
  // Frames side by side ask for theirs together; the oldest asked for are
  // the likeliest to be read by their users meanwhile.
  while (readAheadQueue_.size() > kReadAheadQueue)
    readAheadQueue_.pop_front();
  if (readingAhead_)
    return;
  if (readAheadThread_.joinable())
    readAheadThread_.join();
  readingAhead_ = true;
  readAheadThread_ = std::thread([this] {
    readingAheadOnThisThread = true;
    while (const std::optional<double> frame = nextReadAhead())
      readAhead(*frame);
  });
}

// The next frame to read ahead; none, and the thread's end, once the queue is empty.
std::optional<double> HostNode::nextReadAhead()
{
  std::lock_guard<std::mutex> lock(readAheadMutex_);
  if (readAheadQueue_.empty()) {
    readingAhead_ = false;
    readAheadDone_.notify_all();
    return std::nullopt;
  }
  const double frame = readAheadQueue_.front();
  readAheadQueue_.pop_front();
  return frame;
}

void HostNode::readAhead(double frame)
{
  // Whatever fails here is met again, and reported, when the frame is used.
  Op* op = nullptr;
  try {
    op = acquireCached(OutputContext(frame), false);
    if (!op->hasError())
      readAheadPrepare_(op);
  } catch (...) {
  }
  if (!op)
    return;
  const bool failed = op->hasError();
  release(op);
  // An operator that failed to validate unseen is dropped, so that its
  // first real use validates, and reports, afresh.
  if (failed)
    discard(op);
}

void HostNode::discard(Op* op)
{
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto c = cache_.begin(); c != cache_.end(); ++c)
    if (c->second.op == op && c->second.users == 0) {
      delete op;
      cache_.erase(c);
      return;
    }
}

void HostNode::waitForReadAhead()
{
  std::unique_lock<std::mutex> lock(readAheadMutex_);
  readAheadDone_.wait(lock, [this] { return !readingAhead_; });
  // The thread takes the lock no more once it has said it is done.
  if (readAheadThread_.joinable())
    readAheadThread_.join();
}

void HostNode::release(Op* op)
{
  std::lock_guard<std::mutex> lock(mutex_);
  if (description_) {
    if (std::find(pool_.begin(), pool_.end(), op) == pool_.end())
      return;
    if (op == first_)
      idle_.push_back(op);
    else
      idle_.insert(idle_.begin(), op);
    return;
  }
  for (auto& kv : cache_)
    if (kv.second.op == op && kv.second.users > 0)
      kv.second.users--;
}

void HostNode::setProgressHandlers(MessageHandler message, FractionHandler fraction, std::function<void()> dismiss)
{
  onMessage_ = std::move(message);
  onFraction_ = std::move(fraction);
  onDismiss_ = std::move(dismiss);
}

void HostNode::reportProgressMessage(const std::string& m)
{
  if (onMessage_)
    onMessage_(m);
}

void HostNode::reportProgressFraction(double f)
{
  if (onFraction_)
    onFraction_(f);
}

void HostNode::reportProgressDismiss()
{
  if (onDismiss_)
    onDismiss_();
}

std::string HostNode::error() const
{
  std::lock_guard<std::mutex> lock(errorMutex_);
  return error_;
}

bool HostNode::hasError() const
{
  std::lock_guard<std::mutex> lock(errorMutex_);
  return hasError_;
}

void HostNode::setError(const std::string& text)
{
  if (readingAheadOnThisThread)
    return;
  std::lock_guard<std::mutex> lock(errorMutex_);
  error_ = text;
  hasError_ = true;
}

void HostNode::clearError()
{
  std::lock_guard<std::mutex> lock(errorMutex_);
  error_.clear();
  hasError_ = false;
}

} // namespace HostLayer
