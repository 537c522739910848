// The one way every module includes Python and numpy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>  // PyFrame_New, for traceback entries of C functions
