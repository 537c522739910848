// Module plumbing, one concern a header: export tables, type import, numpy's
// types, traceback entries, names looked up at call time. A module's
// start-up as a whole is module_start.hpp.
#pragma once

#include "support/exports.hpp"
#include "support/names.hpp"
#include "support/numpy_types.hpp"
#include "support/traceback.hpp"
#include "support/type_import.hpp"
