#include "runtime/func/args.h"

#include "runtime/compat.h"
#include "runtime/traceback.h"

namespace ac {

static void raise_count_error(const char* name, bool exact, Py_ssize_t min, Py_ssize_t max,
                              Py_ssize_t given) noexcept {
  Py_ssize_t expected;
  const char* more_or_less;
  if (given < min) {
    expected = min;
    more_or_less = "at least";
  } else {
    expected = max;
    more_or_less = "at most";
  }
  if (exact) more_or_less = "exactly";
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name,
               more_or_less, expected, expected == 1 ? "" : "s", given);
}

bool keywords_must_be_strings(const char* func_name) noexcept {
  PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", func_name);
  return false;
}

bool check_keyword_strings(const char* func_name, PyObject* kwnames) noexcept {
  if (!kwnames) return true;
  Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!PyUnicode_Check(PyTuple_GET_ITEM(kwnames, i))) return keywords_must_be_strings(func_name);
  }
  return true;
}

bool parse_arguments(Func* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** params,
                     PyObject** varargs) noexcept {
  const FuncDef* s = f->def;
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  *varargs = nullptr;

  switch (s->style) {
    case Style::Single:
      if (nkw) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", s->name);
        goto error;
      }
      if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", s->name, nargs);
        goto error;
      }
      params[0] = args[0];
      return true;

    case Style::NoKeywords:
      if (!check_keyword_strings(s->name, kwnames)) goto error;
      if (nkw) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s->name,
                     PyTuple_GET_ITEM(kwnames, nkw - 1));
        goto error;
      }
      *varargs = compat::tuple_from_array(args, nargs);
      if (!*varargs) goto error;
      return true;

    case Style::Custom:
    case Style::Params:
      break;
  }

  {
    const Py_ssize_t npos = s->nparams;
    PyObject* defaults = f->defaults;
    Py_ssize_t ndef = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    if (ndef > npos) ndef = npos;
    const Py_ssize_t nreq = npos - ndef;
    const bool exact = ndef == 0 && !s->varargs;
    auto default_of = [&](Py_ssize_t i) {
      return PyTuple_GET_ITEM(defaults, PyTuple_GET_SIZE(defaults) - (npos - i));
    };

    if (nargs > npos && !s->varargs) {
      raise_count_error(s->name, exact, nreq, npos, nargs);
      goto error;
    }
    const Py_ssize_t used = nargs < npos ? nargs : npos;
    for (Py_ssize_t i = 0; i < used; ++i) params[i] = args[i];

    if (nkw == 0) {
      if (nargs < nreq) {
        raise_count_error(s->name, exact, nreq, npos, nargs);
        goto error;
      }
      for (Py_ssize_t i = used; i < npos; ++i) params[i] = default_of(i);
    } else {
      Py_ssize_t left = nkw;
      for (Py_ssize_t i = used; i < npos; ++i) {
        const Py_ssize_t k = find_name(kwnames, s->param_objs[i]);
        if (k >= 0) {
          params[i] = args[nargs + k];
          --left;
        } else if (i < nreq) {
          raise_count_error(s->name, exact, nreq, npos, i);
          goto error;
        } else {
          params[i] = default_of(i);
        }
      }
      if (left > 0) {
        // Something besides the named parameters: say what is wrong with the first such keyword.
        for (Py_ssize_t k = 0; k < nkw; ++k) {
          PyObject* key = PyTuple_GET_ITEM(kwnames, k);
          bool found = false;
          for (Py_ssize_t i = used; i < npos && !found; ++i) {
            if (s->param_objs[i] == key) found = true;
          }
          if (found) continue;
          if (!PyUnicode_Check(key)) {
            keywords_must_be_strings(s->name);
            goto error;
          }
          for (Py_ssize_t i = used; i < npos && !found; ++i) found = same_name(s->param_objs[i], key);
          if (found) continue;
          for (Py_ssize_t i = 0; i < used; ++i) {
            if (same_name(s->param_objs[i], key)) {
              PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s->name,
                           key);
              goto error;
            }
          }
          PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s->name, key);
          goto error;
        }
      }
    }
    if (s->varargs) {
      *varargs = nargs > npos ? compat::tuple_from_array(args + npos, nargs - npos) : PyTuple_New(0);
      if (!*varargs) goto error;
    }
    return true;
  }

error:
  add_traceback(s->tb_name, s->line);
  return false;
}

}  // namespace ac
