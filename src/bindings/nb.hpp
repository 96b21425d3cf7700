// The one include of the binding library; every binding file starts here.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

namespace nb = nanobind;
