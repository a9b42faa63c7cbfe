#pragma once

// The headless host's node: it owns knobs and inputs and builds operators for
// the output contexts it is evaluated in, from a pool (plug-in nodes) or a
// per-frame cache with read-ahead (the host's own readers and generators).
// Plug-ins see only the DD::Image::Node it implements.

#include "DDImage/Knob.h"
#include "DDImage/Node.h"
#include "DDImage/Op.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace HostLayer {

class HostNode final : public DD::Image::Node {
public:
  using Factory = std::function<DD::Image::Op*(DD::Image::Node*)>;
  using MessageHandler = std::function<void(const std::string&)>;
  using FractionHandler = std::function<void(double)>;

  // A node of a class registered by a loaded plug-in. Throws std::runtime_error
  // for an unknown class.
  static std::unique_ptr<HostNode> create(const std::string& className, const std::string& name);
  // A node whose operators the host builds itself (readers, generators).
  HostNode(std::string name, Factory factory);
  ~HostNode() override;
  HostNode(const HostNode&) = delete;
  HostNode& operator=(const HostNode&) = delete;

  const std::string& name() const override { return name_; }

  // --- Panel -------------------------------------------------------------
  // The operator that declares the knobs and receives knob_changed.
  DD::Image::Op* firstOp() { return first_; }
  // Declares the knobs again (as when the host rebuilds the panel); values are kept.
  void rebuildKnobs();
  const std::vector<DD::Image::Knob*>& knobs() const { return knobOrder_; }
  DD::Image::Knob* knob(const std::string& name) const override;
  // Runs the panel-open reaction.
  void showPanel();
  // A user edit: stores the knob values into the first operator, then calls knob_changed.
  void setValue(DD::Image::Knob* k, double v);
  void setKey(DD::Image::Knob* k, double frame, double v);
  void setChannels(DD::Image::Knob* k, const DD::Image::ChannelSet& c);
  void changed(DD::Image::Knob* k);
  // Timeline frame the panel shows.
  double frame() const override { return frame_; }
  void setFrame(double f) { frame_ = f; }

  // --- Inputs ------------------------------------------------------------
  void setInput(int n, HostNode* source);
  HostNode* input(int n) const;

  // --- Evaluation --------------------------------------------------------
  // An operator of this node in context `ctx`, with knob values stored at the
  // context's frame, inputs connected and the hash updated. Operators of
  // plug-in nodes are taken from a pool and must be handed back with release();
  // operators of host nodes are cached per frame and released as well.
  DD::Image::Op* acquire(const DD::Image::OutputContext& ctx);
  void release(DD::Image::Op* op);
  // Host nodes: whenever an operator for a frame f is acquired and none is
  // cached for f + 1, one is made for f + 1 when `wanted(f + 1)`, and
  // `prepare` run on it on a thread of the node's own (one at a time), so
  // that a render going through a sequence finds its next frame already
  // read. An operator made by the acquire itself is prepared there first.
  // Frames asked for while the thread is busy wait their turn; of those
  // waiting, the latest few asked for are kept.
  // `prepare` must not report errors: whatever fails there is met again, and
  // reported, when the frame is really used.
  void setReadAhead(std::function<bool(double)> wanted, std::function<void(DD::Image::Op*)> prepare);
  // Returns once no read-ahead is running or waiting.
  void waitForReadAhead();
  // Host nodes: the cache of operators is bounded by the bytes they hold
  // (`measure` tells, for example the decoded image), besides a count of 16.
  // Operators in use are never evicted, so the bound can be exceeded by them.
  void setCacheMeasure(std::function<size_t(const DD::Image::Op*)> measure);
  void setCacheLimit(size_t bytes);
  // Stores knob values at `frame` into `op`.
  void storeKnobs(DD::Image::Op* op, double frame);
  // Knob values are read by every render thread and written by user edits
  // and by operators that set knobs while they validate: hold this around
  // each. Recursive, as validation stores and refreshes.
  std::unique_lock<std::recursive_mutex> lockKnobs() const { return std::unique_lock<std::recursive_mutex>(knobsMutex_); }
  // Stores the knob values at the operator's frame again, reconnects its inputs
  // (their contexts may follow a new validation) and updates its hash, which
  // invalidates the operator when anything it depends on changed.
  void refresh(DD::Image::Op* op);

  // --- Status ------------------------------------------------------------
  void abort() { aborted_ = true; }
  void cancel() { cancelled_ = true; }
  void resetAbort() { aborted_ = false; cancelled_ = false; }
  bool isAborted() const { return aborted_; }
  bool isCancelled() const override { return cancelled_; }
  // An abort hook checked by Op::aborted() (for example a signal flag of the host).
  void setAbortCheck(std::function<bool()> check) { abortCheck_ = std::move(check); }
  bool abortRequested() const override { return aborted_ || (abortCheck_ && abortCheck_()); }

  void setProgressHandlers(MessageHandler message, FractionHandler fraction, std::function<void()> dismiss);
  void reportProgressMessage(const std::string& m) override;
  void reportProgressFraction(double f) override;
  void reportProgressDismiss() override;

  // The last error any operator of this node reported, cleared by clearError().
  std::string error() const;
  bool hasError() const;
  void setError(const std::string& text) override;
  void clearError();

protected:
  DD::Image::Knob* addKnob(DD::Image::KnobKind kind, const std::string& name, const std::string& label,
                           bool& created) override;

private:
  using Op = DD::Image::Op;
  using Knob = DD::Image::Knob;
  HostNode(std::string name, Factory factory, const Op::Description* description);
  Op* buildOp();
  void connectInputs(Op* op);
  DD::Image::Hash knobHash(double frame) const;
  Op* acquireCached(const DD::Image::OutputContext& ctx, bool mayReadAhead);
  void startReadAhead(const std::vector<double>& frames);
  std::optional<double> nextReadAhead();
  void readAhead(double frame);
  // Deletes a cached operator nobody holds.
  void discard(Op* op);
  // Evicts the least recently used operators nobody holds, until a new one fits. Called locked.
  void makeRoomInCache();

  std::string name_;
  Factory factory_;
  const Op::Description* description_ = nullptr;
  Op* first_ = nullptr;
  std::vector<std::unique_ptr<Knob>> knobStore_;
  std::vector<std::unique_ptr<Knob>> newKnobs_;  // filled while the panel is declared
  std::vector<Knob*> knobOrder_;
  std::map<std::string, Knob*> knobByName_;
  std::vector<HostNode*> inputs_;
  double frame_ = 1.0;

  mutable std::recursive_mutex knobsMutex_;
  mutable std::mutex mutex_;
  std::vector<Op*> pool_;      // every operator of a plug-in node (first_ included)
  std::vector<Op*> idle_;      // operators free for the next acquire
  struct Cached {
    Op* op;
    int users;
    unsigned long lastUse;
  };
  std::map<double, Cached> cache_;  // host nodes: one operator per frame
  unsigned long useCounter_ = 0;
  std::function<size_t(const Op*)> cacheMeasure_;
  size_t cacheLimit_ = SIZE_MAX;

  std::function<bool(double)> readAheadWanted_;
  std::function<void(Op*)> readAheadPrepare_;
  std::mutex readAheadMutex_;  // guards the thread handle, the queue and readingAhead_
  std::condition_variable readAheadDone_;
  std::thread readAheadThread_;
  std::deque<double> readAheadQueue_;  // frames to read ahead, in the order asked
  bool readingAhead_ = false;

  std::atomic<bool> aborted_{false};
  std::atomic<bool> cancelled_{false};
  std::function<bool()> abortCheck_;
  MessageHandler onMessage_;
  FractionHandler onFraction_;
  std::function<void()> onDismiss_;
  mutable std::mutex errorMutex_;
  std::string error_;
  bool hasError_ = false;
};

} // namespace HostLayer
