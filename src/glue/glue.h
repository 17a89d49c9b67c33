// The Python glue every extension module of the package includes: one header
// per concern, gathered here.
//   errors.h     raising like Python, the two catching policies, attributes, checked text
//   ops.h        interpreter operations, late-bound names, print
//   bridge.h     the C table of the function and generator types (in _glue)
//   function.h   module-level functions and closures
//   generator.h  generators with C++ steps
//   classes.h    classes
//   imports.h    `import` and `from ... import`
//   module.h     GLUE_MODULE, a module definition with honest import errors
#pragma once

#include "bridge.h"
#include "classes.h"
#include "errors.h"
#include "function.h"
#include "generator.h"
#include "imports.h"
#include "module.h"
#include "ops.h"

// What every module body uses unqualified.
#define GLUE_PRELUDE           \
    using glue::Args;          \
    using glue::add;           \
    using glue::contains;      \
    using glue::eq;            \
    using glue::global;        \
    using glue::item;          \
    using glue::set_item;      \
    using namespace nb::literals
