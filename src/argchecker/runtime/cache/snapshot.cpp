// Snapshots of what the module loaded with.
#include <Python.h>

#include <algorithm>
#include <cstring>

#include "runtime/cache/cache.h"
#include "runtime/compat.h"

namespace ac {

namespace {

// The snapshots, for the audit hook; and whether the hook is in place (else every check compares every
// field).
std::vector<Snapshot*>& all_snapshots() {
  static auto* all = new std::vector<Snapshot*>();
  return *all;
}
bool g_audit_hook = false;

int on_audit(const char* event, PyObject* args, void*) noexcept {
  if (std::strcmp(event, "object.__setattr__") != 0 || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) < 1)
    return 0;
  for (Snapshot* s : all_snapshots()) s->announce(PyTuple_GET_ITEM(args, 0));
  return 0;
}

// Once per process, at the first field added: audit hooks stay for the process's life.
bool audit_hook() noexcept {
  static bool tried = false;
  if (!tried) {
    tried = true;
    g_audit_hook = PySys_AddAuditHook(on_audit, nullptr) == 0;
    PyErr_Clear();
  }
  return g_audit_hook;
}

}  // namespace

Snapshot::Snapshot() noexcept {
  all_snapshots().push_back(this);
}

Snapshot::~Snapshot() {
  auto& all = all_snapshots();
  all.erase(std::remove(all.begin(), all.end(), this), all.end());
}

void Snapshot::announce(PyObject* obj) noexcept {
  for (const Field& f : fields_) {
    if (f.owner == obj) touched_ = true;
  }
}

void Snapshot::clear() noexcept {
  // Released once the snapshot is empty again: releasing may run code that checks it.
  std::vector<Group> groups;
  std::vector<Ref> held;
  groups.swap(groups_);
  held.swap(held_);
  checks_.clear();
  fields_.clear();
  unannounced_ = 0;
  sealed_ = touched_ = false;
#ifdef AC_CACHE_WATCHERS
  checked_epoch_ = 0;
#endif
}

bool Snapshot::add_entry(PyObject* owner, PyObject* dict, PyObject* name) noexcept {
  if (!dict || !PyDict_CheckExact(dict) || !PyUnicode_CheckExact(name)) return false;
  Group* g = nullptr;
  for (Group& each : groups_) {
    if (each.dict.get() == dict) g = &each;
  }
  if (!g) {
#ifdef AC_CACHE_WATCHERS
    if (cache::watching() && !cache::watch(dict)) return false;
#endif
    groups_.push_back(Group{Ref::borrow(owner), Ref::borrow(dict), {}});
    checks_.push_back(Check{dict, 0});
    g = &groups_.back();
  }
  for (const Entry& e : g->entries) {
    if (e.name.get() == name) return true;
  }
  PyObject* value = PyDict_GetItemWithError(dict, name);
  if (!value && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  g->entries.push_back(Entry{Ref::borrow(name), Ref::borrow(value)});
  checks_[static_cast<size_t>(g - groups_.data())].tag = 0;  // compared at the first check
  return true;
}

bool Snapshot::add_field(PyObject* owner, PyObject** where, bool announced) noexcept {
  for (const Field& f : fields_) {
    if (f.where == where) return true;
  }
  held_.push_back(Ref::borrow(owner));
  held_.push_back(Ref::borrow(*where));
  const Field field{where, *where, owner};
  // Without the audit hook no field is announced.
  if (announced && audit_hook()) {
    fields_.push_back(field);
  } else {
    fields_.insert(fields_.begin() + static_cast<std::ptrdiff_t>(unannounced_++), field);
  }
  return true;
}

bool Snapshot::add_function(PyObject* f) noexcept {
  if (!PyFunction_Check(f)) return false;
  auto* fn = reinterpret_cast<PyFunctionObject*>(f);
  add_field(f, &fn->func_code, true);
  add_field(f, &fn->func_defaults, true);
  add_field(f, &fn->func_kwdefaults, true);
  if (PyObject* closure = fn->func_closure) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(closure); ++i) {
      PyObject* cell = PyTuple_GET_ITEM(closure, i);
      add_field(cell, &reinterpret_cast<PyCellObject*>(cell)->ob_ref, false);
    }
  }
  return true;
}

bool Snapshot::add_mro(PyTypeObject* type) noexcept {
  return add_field(reinterpret_cast<PyObject*>(type), &type->tp_mro, true);
}

bool Snapshot::add_class_of(PyObject* obj) noexcept {
  return add_field(obj, reinterpret_cast<PyObject**>(&obj->ob_type), true);
}

// A dict's tag moved: compares its entries again, under the tag taken first, and keeps that tag if they
// are the same and it still holds (a dict that changed while it was compared is compared again next
// time). Only module and class dicts are snapshotted, whose keys are strs.
bool Snapshot::recheck(Check& c) noexcept {
  const uint64_t tag = cache::tag_of(c.dict);
  const Group& g = groups_[static_cast<size_t>(&c - checks_.data())];
  for (const Entry& e : g.entries) {
    PyObject* now = PyDict_GetItemWithError(c.dict, e.name.get());
    if (!now && PyErr_Occurred()) PyErr_Clear();
    if (now != e.value.get()) {
      c.tag = 0;
      return false;
    }
  }
  c.tag = cache::tag_of(c.dict) == tag ? tag : 0;
  return true;
}

// ---- what a call runs -------------------------------------------------------------------------------

namespace {

int on_call(PyObject* codes, PyFrameObject* frame, int what, PyObject*) noexcept {
  if (what != PyTrace_CALL) return 0;
  Ref code(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
  return PySet_Add(codes, code.get());
}

// `code` and the code objects among its constants, at any depth, into `out` (a list).
bool codes_within(PyObject* code, PyObject* out) noexcept {
  if (PyList_Append(out, code) < 0) return false;
  PyObject* consts = reinterpret_cast<PyCodeObject*>(code)->co_consts;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); ++i) {
    PyObject* c = PyTuple_GET_ITEM(consts, i);
    if (PyCode_Check(c) && !codes_within(c, out)) return false;
  }
  return true;
}

// The Python functions a class attribute stands for: a function, or the one a staticmethod or
// classmethod wraps, or the accessors of a property. Appended to `out`.
bool functions_of(PyObject* attr, PyObject* out) noexcept {
  if (PyFunction_Check(attr)) return PyList_Append(out, attr) == 0;
  const char* const* names = nullptr;
  static const char* const wrapped[] = {"__func__", nullptr};
  static const char* const accessors[] = {"fget", "fset", "fdel", nullptr};
  if (Py_IS_TYPE(attr, &PyStaticMethod_Type) || Py_IS_TYPE(attr, &PyClassMethod_Type)) names = wrapped;
  if (Py_IS_TYPE(attr, &PyProperty_Type)) names = accessors;
  for (; names && *names; ++names) {
    Ref f(PyObject_GetAttrString(attr, *names));
    if (!f) return false;
    if (PyFunction_Check(f.get()) && PyList_Append(out, f.get()) < 0) return false;
  }
  return true;
}

}  // namespace

bool Snapshot::add_what_runs(PyObject* run, PyObject* fn, PyObject* names) noexcept {
  Ref ran(PySet_New(nullptr));
  if (!ran) return false;
  Ref result(compat::with_profile(on_call, ran.get(), [&] { return PyObject_CallNoArgs(run); }));
  if (!result) return false;
  if (PySet_Discard(ran.get(), PyFunction_GET_CODE(run)) < 0) return false;

  // The functions that ran, as the module's own lookups find them: (function, where) pairs.
  PyObject* module_dict = PyFunction_GET_GLOBALS(fn);
  Ref found(PyList_New(0)), candidates(PyList_New(0));
  if (!found || !candidates) return false;
  auto note = [&](PyObject* f) -> int {  // 1 when `f` ran
    const int r = PySet_Contains(ran.get(), PyFunction_GET_CODE(f));
    if (r > 0 && (PyList_Append(found.get(), f) < 0 || !add_function(f))) return -1;
    return r;
  };
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(module_dict, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) continue;
    if (PyFunction_Check(value)) {
      const int r = note(value);
      if (r < 0) return false;
      if (r && !add_entry(module_dict, module_dict, key)) return false;
      continue;
    }
    if (!PyType_Check(value)) continue;
    // A class: what is looked up on it (its MRO) and on its instances' class when it is called (its
    // metaclass's MRO).
    Ref cls = Ref::borrow(value);
    for (PyTypeObject* on : {reinterpret_cast<PyTypeObject*>(value), Py_TYPE(value)}) {
      PyObject* mro = on->tp_mro;
      if (!mro || !PyTuple_CheckExact(mro)) return false;
      for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(mro); ++j) {
        auto* holder = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, j));
        PyObject* dict = holder->tp_dict;
        if (!dict) continue;  // a static class of 3.12+, which Python code cannot change
        Py_ssize_t p = 0;
        PyObject *name, *attr;
        while (PyDict_Next(dict, &p, &name, &attr)) {
          if (!PyUnicode_CheckExact(name)) continue;
          if (PySequence_DelSlice(candidates.get(), 0, PyList_GET_SIZE(candidates.get())) < 0 ||
              !functions_of(attr, candidates.get()))
            return false;
          bool ran_here = false;
          for (Py_ssize_t c = 0; c < PyList_GET_SIZE(candidates.get()); ++c) {
            const int r = note(PyList_GET_ITEM(candidates.get(), c));
            if (r < 0) return false;
            ran_here |= r > 0;
          }
          if (!ran_here) continue;
          // Found on `on` through the dict of its j-th class: every dict before it has nothing under
          // the name, that dict has this attribute, `on` has this MRO, and the class this metaclass.
          for (Py_ssize_t k = 0; k <= j; ++k) {
            auto* before = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, k));
            if (before->tp_dict && !add_entry(reinterpret_cast<PyObject*>(before), before->tp_dict, name))
              return false;
          }
          if (!add_entry(module_dict, module_dict, key) || (j > 0 && !add_mro(on)) || !add_class_of(value))
            return false;
        }
      }
    }
  }

  // Every code that ran belongs to a function found, or lies within one's code; and what that code reads.
  Ref within(PyList_New(0));
  if (!within) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(found.get()); ++i) {
    PyObject* f = PyList_GET_ITEM(found.get(), i);
    PyObject* globals = PyFunction_GET_GLOBALS(f);
    PyObject* builtins = compat::function_builtins(f);
    const Py_ssize_t first = PyList_GET_SIZE(within.get());
    if (!codes_within(PyFunction_GET_CODE(f), within.get())) return false;
    for (Py_ssize_t c = first; c < PyList_GET_SIZE(within.get()); ++c) {
      auto* code = reinterpret_cast<PyCodeObject*>(PyList_GET_ITEM(within.get(), c));
      if (PySet_Discard(ran.get(), reinterpret_cast<PyObject*>(code)) < 0) return false;
      for (PyObject* seq : {code->co_names, code->co_consts}) {
        for (Py_ssize_t n = 0; n < PyTuple_GET_SIZE(seq); ++n) {
          PyObject* name = PyTuple_GET_ITEM(seq, n);
          if (!PyUnicode_CheckExact(name) || !PyUnicode_IsIdentifier(name)) continue;
          if (PySet_Add(names, name) < 0) return false;
          if (seq != code->co_names) continue;
          // The name as a global, else a builtin; and as an attribute of a module the code names.
          PyObject* g = PyDict_GetItemWithError(globals, name);
          if (!g && PyErr_Occurred()) return false;
          if (!add_entry(f, globals, name) || (!g && builtins && !add_entry(f, builtins, name))) return false;
          if (g && PyModule_CheckExact(g)) {
            PyObject* md = PyModule_GetDict(g);
            for (Py_ssize_t m = 0; m < PyTuple_GET_SIZE(code->co_names); ++m) {
              if (!add_entry(g, md, PyTuple_GET_ITEM(code->co_names, m))) return false;
            }
          }
        }
      }
    }
  }
  return PySet_GET_SIZE(ran.get()) == 0;
}

}  // namespace ac
