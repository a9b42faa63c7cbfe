#pragma once

#include "DDImage/Hash.h"
#include "DDImage/Knobs.h"
#include "DDImage/OutputContext.h"
#include "DDImage/ddImageVersionNumbers.h"

#include <cstddef>
#include <string>
#include <vector>

namespace DD {
namespace Image {

class Node;
class Iop;

// Base of every operator. The host creates operators for a node, one per
// output context it evaluates, stores the knob values into them, validates,
// opens and renders them.
class Op {
public:
  typedef Op* (*Constructor)(Node*);

  // A static Description in a plug-in registers its class when the library loads.
  struct Description {
    const char* name;
    Constructor constructor;
    const char* compiled;

    Description(const char* name, Constructor constructor, const char* compiled = __DATE__ " for " kDDImageVersion);
    ~Description();
    // The registered class of that name, or null.
    static const Description* find(const std::string& name);
    static std::vector<std::string> names();
  };

  explicit Op(Node* node);
  virtual ~Op();
  Op(const Op&) = delete;
  Op& operator=(const Op&) = delete;

  static void* operator new(size_t size);
  static void operator delete(void* p);

  virtual const char* Class() const = 0;
  virtual const char* node_help() const = 0;
  virtual void knobs(Knob_Callback f);
  // Called when a knob changes; returns non-zero when the change was handled.
  virtual int knob_changed(Knob* k);

  virtual int minimum_inputs() const { return 1; }
  virtual int maximum_inputs() const { return 1; }
  // How many copies of input n exist, each evaluated in its own context.
  virtual int split_input(int n) const;
  // The context in which copy `offset` of input n is evaluated.
  virtual const OutputContext& inputContext(int n, int offset, OutputContext& out) const;
  // Everything besides the knob values that the output depends on.
  virtual void append(Hash& hash);

  // Knob of this operator's node, or null.
  Knob* knob(const char* name) const;

  // Inputs in flat numbering: all copies of input 0, then of input 1, ...
  Op* input(int n) const;
  int inputs() const { return static_cast<int>(inputs_.size()); }
  void set_input(int flatIndex, Op* op);

  const OutputContext& outputContext() const { return outputContext_; }
  void setOutputContext(const OutputContext& c) { outputContext_ = c; }

  // Validation: _validate runs again only after invalidate() or a new hash.
  void validate(bool for_real = true);
  // Like validate, but reports an error or an exception as false.
  bool tryValidate(bool for_real = true);
  void invalidate();
  bool valid() const { return valid_; }
  const Hash& hash() const { return hash_; }
  void set_hash(const Hash& h);

  // Open: runs _open once after each validation.
  void open();
  void close();
  bool opened() const { return opened_; }

  // Status.
  bool aborted() const;
  bool cancelled() const;
  void progressMessage(const char* fmt, ...);
  void progressFraction(double fraction);
  void progressDismiss();
  // Marks the operator as failed with a printf-formatted text.
  void error(const char* fmt, ...);
  bool hasError() const { return hasError_; }
  const std::string& errorMessage() const { return errorMessage_; }
  void clearError();

  std::string node_name() const;
  Node* node() const { return node_; }

protected:
  virtual void _validate(bool for_real);
  virtual void _invalidate() {}
  virtual void _open() {}
  virtual void _close() {}

private:
  Node* node_;
  std::vector<Op*> inputs_;
  OutputContext outputContext_;
  Hash hash_;
  bool valid_ = false;
  bool opened_ = false;
  bool hasError_ = false;
  std::string errorMessage_;
};

} // namespace Image
} // namespace DD
