// proj_csimplex, the one function tavorin.operators publishes.
#ifndef TAVORIN_DRIVER_HPP
#define TAVORIN_DRIVER_HPP

#include "host/refs.hpp"

namespace tavorin {

// proj_csimplex(y_view, h, l, u, xtol=1e-5, rtol=1e-5, mitr=20) -> None
PyObject *proj_csimplex(PyObject *self, PyObject *args, PyObject *kwds) noexcept;

}  // namespace tavorin

#endif
