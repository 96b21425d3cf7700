// The one include of the binding library: nanobind (as `nb`) with every
// caster the modules use, so that each type converts one way everywhere and
// no module meets a type it cannot convert. Every binding file starts here.
#pragma once

#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/set.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/vector.h>

#include "bindings/glue/casters.hpp"
