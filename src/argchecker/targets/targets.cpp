// Target code lists: conversion to the host's notation through the host command, with every conversion
// kept in the host's shared cache under the key prefix "convert", and the patching of an API call's
// parameter dictionary. The host facilities are imported at every call.
#include <Python.h>

#include "module/members.h"
#include "runtime/failure.h"
#include "runtime/func/function.h"
#include "runtime/globals.h"
#include "runtime/imports.h"
#include "runtime/names.h"
#include "runtime/ref.h"

namespace ac {
namespace {

Name n_vr{"vr"}, n_g_VelmoraCache{"g_VelmoraCache"}, n_get_cache{"get_cache"}, n_set_cache{"set_cache"},
    n_key_prefix{"key_prefix"}, n_convert{"convert"}, n_target_list{"target_list"};
Name n_get_target_from_cache{"get_target_from_cache"}, n_set_target_to_cache{"set_target_to_cache"},
    n_convert_targets{"convert_targets"};

// `sysclsbase.vr.g_VelmoraCache.<method>`, the whole chain read now.
PyObject* cache_method(PyObject* sysclsbase, PyObject* method) noexcept {
  Ref vr(PyObject_GetAttr(sysclsbase, n_vr));
  if (!vr) return nullptr;
  Ref cache(PyObject_GetAttr(vr.get(), n_g_VelmoraCache));
  if (!cache) return nullptr;
  return PyObject_GetAttr(cache.get(), method);
}

// `from velmora.tframe import sysclsbase`
PyObject* import_sysclsbase() noexcept {
  return import_name("velmora.tframe", "sysclsbase", -1);
}

// ---- get_target_from_cache -------------------------------------------------------------------------

// def get_target_from_cache(target_list):
enum GetLine {
  kLineGetDef = 492,
  kLineGetImportCls = 493,
  kLineGetImportCopy = 494,
  kLineGetNoCache = 495,
  kLineGetCopy = 496,
  kLineGetLoop = 497,
  kLineGetLookup = 498,
  kLineGetTest = 499,
  kLineGetStore = 500,
  kLineGetAppend = 502,
  kLineGetReturn = 503,
};

PyObject* get_target_from_cache_body(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* target_list = p[0];
  Ref sysclsbase(import_sysclsbase());
  if (!sysclsbase) return error_at(member::get_target_from_cache, kLineGetImportCls);
  Ref deepcopy(import_name("copy", "deepcopy", -1));
  if (!deepcopy) return error_at(member::get_target_from_cache, kLineGetImportCopy);
  Ref no_cache(PyList_New(0));
  if (!no_cache) return error_at(member::get_target_from_cache, kLineGetNoCache);

  Ref targets;
  {
    Ref copy_of(PySequence_List(target_list));
    if (!copy_of) return error_at(member::get_target_from_cache, kLineGetCopy);
    targets = Ref(PyObject_CallOneArg(deepcopy.get(), copy_of.get()));
    if (!targets) return error_at(member::get_target_from_cache, kLineGetCopy);
  }

  Ref it(PyObject_GetIter(targets.get()));
  if (!it) return error_at(member::get_target_from_cache, kLineGetLoop);
  for (Py_ssize_t index = 0;; ++index) {
    Ref target(PyIter_Next(it.get()));
    if (!target) {
      if (PyErr_Occurred()) return error_at(member::get_target_from_cache, kLineGetLoop);
      break;
    }
    Ref get_cache(cache_method(sysclsbase.get(), n_get_cache));
    if (!get_cache) return error_at(member::get_target_from_cache, kLineGetLookup);
    PyObject* kwnames = n_key_prefix.kwnames();
    if (!kwnames) return error_at(member::get_target_from_cache, kLineGetLookup);
    PyObject* argv[] = {target.get(), n_convert.get()};
    Ref res(PyObject_Vectorcall(get_cache.get(), argv, 1, kwnames));
    if (!res) return error_at(member::get_target_from_cache, kLineGetLookup);
    int cached = PyObject_IsTrue(res.get());
    if (cached < 0) return error_at(member::get_target_from_cache, kLineGetTest);
    if (cached) {
      Ref i(PyLong_FromSsize_t(index));
      if (!i || PyObject_SetItem(targets.get(), i.get(), res.get()) < 0)
        return error_at(member::get_target_from_cache, kLineGetStore);
    } else if (PyList_Append(no_cache.get(), target.get()) < 0) {
      return error_at(member::get_target_from_cache, kLineGetAppend);
    }
  }
  PyObject* r = PyTuple_Pack(2, no_cache.get(), targets.get());
  if (!r) return error_at(member::get_target_from_cache, kLineGetReturn);
  return r;
}

// ---- set_target_to_cache ---------------------------------------------------------------------------

// def set_target_to_cache(no_cache_target_list, converted_czce_list):
enum SetLine {
  kLineSetDef = 511,
  kLineSetImport = 512,
  kLineSetLoop = 513,
  kLineSetStore = 514,
};

PyObject* set_target_to_cache_body(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* no_cache_target_list = p[0];
  PyObject* converted_czce_list = p[1];
  Ref sysclsbase(import_sysclsbase());
  if (!sysclsbase) return error_at(member::set_target_to_cache, kLineSetImport);
  Ref it(PyObject_GetIter(no_cache_target_list));
  if (!it) return error_at(member::set_target_to_cache, kLineSetLoop);
  for (Py_ssize_t index = 0;; ++index) {
    Ref target(PyIter_Next(it.get()));
    if (!target) {
      if (PyErr_Occurred()) return error_at(member::set_target_to_cache, kLineSetLoop);
      break;
    }
    // The method is read before its arguments, as the call `cache.set_cache(target, converted[i], ...)`.
    Ref set_cache(cache_method(sysclsbase.get(), n_set_cache));
    if (!set_cache) return error_at(member::set_target_to_cache, kLineSetStore);
    Ref i(PyLong_FromSsize_t(index));
    if (!i) return error_at(member::set_target_to_cache, kLineSetStore);
    Ref converted(PyObject_GetItem(converted_czce_list, i.get()));
    if (!converted) return error_at(member::set_target_to_cache, kLineSetStore);
    PyObject* kwnames = n_key_prefix.kwnames();
    if (!kwnames) return error_at(member::set_target_to_cache, kLineSetStore);
    PyObject* argv[] = {target.get(), converted.get(), n_convert.get()};
    Ref r(PyObject_Vectorcall(set_cache.get(), argv, 2, kwnames));
    if (!r) return error_at(member::set_target_to_cache, kLineSetStore);
  }
  Py_RETURN_NONE;
}

// ---- convert_targets -------------------------------------------------------------------------------

// def convert_targets(target_list):
//     def _convert_target(targets):
enum ConvertLine {
  kLineConvertDef = 525,
  kLineConvertImportUfuncs = 526,
  kLineConvertImportCmd = 527,
  kLineBatchDef = 528,
  kLineBatchFormat = 529,
  kLineBatchSend = 530,
  kLineBatchLower = 531,
  kLineBatchStore = 532,
  kLineConvertLookup = 536,
  kLineConvertTest = 537,
  kLineConvertStillMissing = 539,
  kLineConvertBatch = 540,
};

// The inner function, declared for its traceback entries: it is never made into a function object.
FuncDef convert_target_def{"convert_targets.<locals>._convert_target", kLineBatchDef, {"targets"}, nullptr};

// The host conversion functions, imported for one call.
struct HostConversion {
  Ref todictmc, todotmc, send;
};

// The inner `_convert_target(targets)`: converts one batch with one host command and caches the
// lower-cased results. Null with the error set and both traceback entries added.
PyObject* convert_batch(const HostConversion& host, PyObject* targets) noexcept {
  Ref format_targets(PyObject_CallOneArg(host.todictmc.get(), targets));
  if (!format_targets) return error_at(convert_target_def, kLineBatchFormat);
  Ref real_target_list(PyObject_CallOneArg(host.send.get(), format_targets.get()));
  if (!real_target_list) return error_at(convert_target_def, kLineBatchSend);

  Ref converted(PyList_New(0));
  if (!converted) return error_at(convert_target_def, kLineBatchLower);
  {
    Ref dotted(PyObject_CallOneArg(host.todotmc.get(), real_target_list.get()));
    if (!dotted) return error_at(convert_target_def, kLineBatchLower);
    Ref it(PyObject_GetIter(dotted.get()));
    if (!it) return error_at(convert_target_def, kLineBatchLower);
    for (;;) {
      Ref item(PyIter_Next(it.get()));
      if (!item) {
        if (PyErr_Occurred()) return error_at(convert_target_def, kLineBatchLower);
        break;
      }
      Ref lowered(PyObject_CallMethodNoArgs(item.get(), names::lower));
      if (!lowered || PyList_Append(converted.get(), lowered.get()) < 0)
        return error_at(convert_target_def, kLineBatchLower);
    }
  }

  Ref store(get_global(n_set_target_to_cache));
  if (!store) return error_at(convert_target_def, kLineBatchStore);
  PyObject* argv[] = {targets, converted.get()};
  Ref r(PyObject_Vectorcall(store.get(), argv, 2, nullptr));
  if (!r) return error_at(convert_target_def, kLineBatchStore);
  Py_RETURN_NONE;
}

// `a, b = pair` with the interpreter's unpacking errors. False with the error set.
bool unpack_two(PyObject* pair, Ref* a, Ref* b) noexcept {
  if ((PyTuple_CheckExact(pair) || PyList_CheckExact(pair)) && PySequence_Fast_GET_SIZE(pair) == 2) {
    *a = Ref::borrow(PySequence_Fast_GET_ITEM(pair, 0));
    *b = Ref::borrow(PySequence_Fast_GET_ITEM(pair, 1));
    return true;
  }
  Ref it(PyObject_GetIter(pair));
  if (!it) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(pair)->tp_iter && !PySequence_Check(pair)) {
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(pair)->tp_name);
    }
    return false;
  }
  Ref* out[] = {a, b};
  for (int i = 0; i < 2; ++i) {
    *out[i] = Ref(PyIter_Next(it.get()));
    if (!*out[i]) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
      return false;
    }
  }
  Ref extra(PyIter_Next(it.get()));
  if (extra) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return false;
  }
  return !PyErr_Occurred();
}

// Looks the codes up in the cache, sends the missing ones to the host in one command, and looks them
// up again. A code still missing after that command (the host gave an empty conversion, or the cache did
// not keep it) raises InvalidParamError rather than sending the same command again.
PyObject* convert_targets_body(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* target_list = p[0];
  HostConversion host;
  {
    Ref names_list(Py_BuildValue("[ss]", "todictmc", "todotmc"));
    if (!names_list) return error_at(member::convert_targets, kLineConvertImportUfuncs);
    Ref ufuncs(import_module("velmora.tframe.ufuncs", names_list.get(), -1));
    if (!ufuncs) return error_at(member::convert_targets, kLineConvertImportUfuncs);
    host.todictmc = Ref(import_from(ufuncs.get(), "todictmc"));
    if (!host.todictmc) return error_at(member::convert_targets, kLineConvertImportUfuncs);
    host.todotmc = Ref(import_from(ufuncs.get(), "todotmc"));
    if (!host.todotmc) return error_at(member::convert_targets, kLineConvertImportUfuncs);
  }
  host.send = Ref(import_name("velmora.tframe.comm.vmcmd", "vmSendCmdConvertTargets", -1));
  if (!host.send) return error_at(member::convert_targets, kLineConvertImportCmd);

  for (bool sent = false;; sent = true) {
    Ref lookup(get_global(n_get_target_from_cache));
    if (!lookup) return error_at(member::convert_targets, kLineConvertLookup);
    Ref result(PyObject_CallOneArg(lookup.get(), target_list));
    if (!result) return error_at(member::convert_targets, kLineConvertLookup);
    Ref no_cache_target_list, new_target_list;
    if (!unpack_two(result.get(), &no_cache_target_list, &new_target_list))
      return error_at(member::convert_targets, kLineConvertLookup);
    int missing = PyObject_IsTrue(no_cache_target_list.get());
    if (missing < 0) return error_at(member::convert_targets, kLineConvertTest);
    if (!missing) return new_target_list.release();
    if (sent) {
      Ref msg(PyUnicode_FromFormat("convert_targets() could not convert target codes: %R",
                                   no_cache_target_list.get()));
      if (!msg) return error_at(member::convert_targets, kLineConvertStillMissing);
      return fail_message(member::convert_targets, kLineConvertStillMissing, msg.get());
    }
    Ref r(convert_batch(host, no_cache_target_list.get()));
    if (!r) return error_at(member::convert_targets, kLineConvertBatch);
  }
}

// ---- patch_target_list -----------------------------------------------------------------------------

// def patch_target_list(params: "dict"):
enum PatchLine {
  kLinePatchDef = 550,
  kLinePatchTest = 551,
  kLinePatchStore = 552,

  // Replaces `params["target_list"]`, when present, by its converted list. `params` must be a dict of
};
// exactly that type (or None, which fails as not iterable).
PyObject* patch_target_list_body(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* params = p[0];
  if (params != Py_None && !PyDict_CheckExact(params)) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 "params", PyDict_Type.tp_name, Py_TYPE(params)->tp_name);
    return error_at(member::patch_target_list, kLinePatchDef);
  }
  if (params == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
    return error_at(member::patch_target_list, kLinePatchTest);
  }
  int present = PyDict_Contains(params, n_target_list);
  if (present < 0) return error_at(member::patch_target_list, kLinePatchTest);
  if (present) {
    Ref convert(get_global(n_convert_targets));
    if (!convert) return error_at(member::patch_target_list, kLinePatchStore);
    Ref current(PyObject_GetItem(params, n_target_list));
    if (!current) return error_at(member::patch_target_list, kLinePatchStore);
    Ref converted(PyObject_CallOneArg(convert.get(), current.get()));
    if (!converted) return error_at(member::patch_target_list, kLinePatchStore);
    if (PyDict_SetItem(params, n_target_list, converted.get()) < 0)
      return error_at(member::patch_target_list, kLinePatchStore);
  }
  Py_RETURN_NONE;
}

}  // namespace

FuncDef member::get_target_from_cache{
    "get_target_from_cache", kLineGetDef, {"target_list"}, get_target_from_cache_body};
FuncDef member::set_target_to_cache{"set_target_to_cache",
                                    kLineSetDef,
                                    {"no_cache_target_list", "converted_czce_list"},
                                    set_target_to_cache_body};
FuncDef member::convert_targets{"convert_targets", kLineConvertDef, {"target_list"}, convert_targets_body};
FuncDef member::patch_target_list{
    "patch_target_list", kLinePatchDef, {{"params", Annotation{"dict"}}}, patch_target_list_body};

}  // namespace ac
