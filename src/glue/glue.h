// The Python glue every extension module of the package includes: one header
// per concern, gathered here.
//   errors.h     raising like Python, the two catching policies, checked text
//   ops.h        interpreter operations, late-bound names, print
//   shared.h     the function and generator types, one per interpreter
//   function.h   module-level functions and closures
//   generator.h  generators with C++ steps
//   classes.h    classes and imports
//   module.h     GLUE_MODULE, NB_MODULE with honest import errors
#pragma once

#include "classes.h"
#include "errors.h"
#include "function.h"
#include "generator.h"
#include "module.h"
#include "ops.h"
#include "shared.h"

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
