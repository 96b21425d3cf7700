// The one include of the binding library: nanobind (as `nb`) with the
// casters every module shares, so that each type converts one way
// everywhere. Every binding file starts here.
#pragma once

#include "bindings/glue/casters.hpp"
