// The current interruption check of each thread.
#include "base/cancellation.h"

namespace quillmere {
namespace {

const Interruption kNone{};
thread_local const Interruption* t_current = &kNone;

}  // namespace

const Interruption& current_interruption() {
  return *t_current;
}

InterruptionScope::InterruptionScope(const Interruption& interrupt) : previous_(t_current) {
  t_current = &interrupt;
}

InterruptionScope::~InterruptionScope() {
  t_current = previous_;
}

}  // namespace quillmere
