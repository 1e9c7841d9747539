// Bodies of the nine Python-facing functions: match and convert the
// arguments, run the kernel, build the result.  Each returns a new reference,
// or null with a Python exception set, and may throw (internal failures,
// memory exhaustion): the failure guard wraps them.
#pragma once

#include "binding/py.h"

namespace qrl::binding {

PyObject* compute_group_advantages(PyObject* args, PyObject* kwargs);
PyObject* compute_gae(PyObject* args, PyObject* kwargs);
PyObject* batch_compute_gae(PyObject* args, PyObject* kwargs);
PyObject* normalize_rewards(PyObject* args, PyObject* kwargs);
PyObject* clip_rewards_py(PyObject* args, PyObject* kwargs);
PyObject* compute_gspo_importance_ratios(PyObject* args, PyObject* kwargs);
PyObject* apply_gspo_clipping(PyObject* args, PyObject* kwargs);
PyObject* compute_ppo_surrogate(PyObject* args, PyObject* kwargs);
PyObject* compute_reward_statistics(PyObject* args, PyObject* kwargs);

}  // namespace qrl::binding
