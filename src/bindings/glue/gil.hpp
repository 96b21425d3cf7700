// The engines release the GIL for file I/O and computation, and take it back
// only to call a port or to build a result.
#pragma once

#include "bindings/glue/nb.hpp"

namespace varnel::bindings {

// work() run without the GIL; its result must hold no Python object.
template <class Work>
auto unlocked(Work&& work) {
  nb::gil_scoped_release released;
  return work();
}

}  // namespace varnel::bindings
