// A callback that long work asks, between blocks and after a system call was interrupted by
// a signal, whether to stop. It lets a caller run its signal handlers (and stop on the
// error one raises) without the engine knowing anything about the caller.
#pragma once

namespace quillmere {

struct Interruption {
  // `signalled`: a system call was just interrupted by a signal (otherwise: a block is done,
  // and the callback may skip the check when it ran recently).
  bool (*stop_requested)(void* context, bool signalled) = nullptr;
  void* context = nullptr;

  // True when the work must stop now; false without a callback.
  bool operator()(bool signalled = false) const {
    return stop_requested != nullptr && stop_requested(context, signalled);
  }
};

}  // namespace quillmere
