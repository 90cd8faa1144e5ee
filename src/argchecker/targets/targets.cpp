// Target code lists: conversion to the host's notation through the host command, with every conversion
// kept in the host's shared cache under the key prefix "convert", and the patching of an API call's
// parameter dictionary. The host facilities are imported at every call.
#include <Python.h>

#include "host/globals.h"
#include "runtime/failure.h"
#include "runtime/function.h"
#include "runtime/imports.h"
#include "runtime/names.h"
#include "runtime/ref.h"
#include "runtime/registry.h"
#include "runtime/traceback.h"

namespace ac {
namespace {

Name n_vr{"vr"}, n_g_VelmoraCache{"g_VelmoraCache"}, n_get_cache{"get_cache"}, n_set_cache{"set_cache"},
    n_key_prefix{"key_prefix"}, n_convert{"convert"}, n_target_list{"target_list"};
Name g_get_target_from_cache{"get_target_from_cache"}, g_set_target_to_cache{"set_target_to_cache"},
    g_convert_targets{"convert_targets"};

// ("key_prefix",): the keyword names of every cache call. Made once, kept for the process; null with
// an error set when it cannot be made.
PyObject* key_prefix_kwnames() noexcept {
  static PyObject* kw = nullptr;
  if (!kw) kw = PyTuple_Pack(1, n_key_prefix.get());
  return kw;
}

// `sysclsbase.vr.g_VelmoraCache.<method>`, the whole chain read now.
PyObject* cache_method(PyObject* sysclsbase, PyObject* method) noexcept {
  Ref vr(PyObject_GetAttr(sysclsbase, n_vr));
  if (!vr) return nullptr;
  Ref cache(PyObject_GetAttr(vr.get(), n_g_VelmoraCache));
  if (!cache) return nullptr;
  return PyObject_GetAttr(cache.get(), method);
}

// `from velmora.tframe import sysclsbase`
PyObject* import_sysclsbase() noexcept { return import_name("velmora.tframe", "sysclsbase", -1); }

// ---- get_target_from_cache -------------------------------------------------------------------------

const char kTbGet[] = "tframe.utils.argchecker.get_target_from_cache";

constexpr int kLineGetDef = 492;
constexpr int kLineGetImportCls = 493;
constexpr int kLineGetImportCopy = 494;
constexpr int kLineGetNoCache = 495;
constexpr int kLineGetCopy = 496;
constexpr int kLineGetLoop = 497;
constexpr int kLineGetLookup = 498;
constexpr int kLineGetTest = 499;
constexpr int kLineGetStore = 500;
constexpr int kLineGetAppend = 502;
constexpr int kLineGetReturn = 503;

PyObject* get_target_from_cache(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* target_list = p[0];
  Ref sysclsbase(import_sysclsbase());
  if (!sysclsbase) return tb_error(kTbGet, kLineGetImportCls);
  Ref deepcopy(import_name("copy", "deepcopy", -1));
  if (!deepcopy) return tb_error(kTbGet, kLineGetImportCopy);
  Ref no_cache(PyList_New(0));
  if (!no_cache) return tb_error(kTbGet, kLineGetNoCache);

  Ref targets;
  {
    Ref copy_of(PySequence_List(target_list));
    if (!copy_of) return tb_error(kTbGet, kLineGetCopy);
    targets = Ref(PyObject_CallOneArg(deepcopy.get(), copy_of.get()));
    if (!targets) return tb_error(kTbGet, kLineGetCopy);
  }

  Ref it(PyObject_GetIter(targets.get()));
  if (!it) return tb_error(kTbGet, kLineGetLoop);
  for (Py_ssize_t index = 0;; ++index) {
    Ref target(PyIter_Next(it.get()));
    if (!target) {
      if (PyErr_Occurred()) return tb_error(kTbGet, kLineGetLoop);
      break;
    }
    Ref get_cache(cache_method(sysclsbase.get(), n_get_cache));
    if (!get_cache) return tb_error(kTbGet, kLineGetLookup);
    PyObject* kwnames = key_prefix_kwnames();
    if (!kwnames) return tb_error(kTbGet, kLineGetLookup);
    PyObject* argv[] = {target.get(), n_convert.get()};
    Ref res(PyObject_Vectorcall(get_cache.get(), argv, 1, kwnames));
    if (!res) return tb_error(kTbGet, kLineGetLookup);
    int cached = PyObject_IsTrue(res.get());
    if (cached < 0) return tb_error(kTbGet, kLineGetTest);
    if (cached) {
      Ref i(PyLong_FromSsize_t(index));
      if (!i || PyObject_SetItem(targets.get(), i.get(), res.get()) < 0) return tb_error(kTbGet, kLineGetStore);
    } else if (PyList_Append(no_cache.get(), target.get()) < 0) {
      return tb_error(kTbGet, kLineGetAppend);
    }
  }
  PyObject* r = PyTuple_Pack(2, no_cache.get(), targets.get());
  if (!r) return tb_error(kTbGet, kLineGetReturn);
  return r;
}

FuncSpec get_target_from_cache_spec{"get_target_from_cache", "get_target_from_cache", kTbGet, kLineGetDef,
                                    Style::Single, {"target_list"}, false, get_target_from_cache};
MemberRegistrar reg_get_target_from_cache{
    Member{3, "get_target_from_cache", Kind::ModuleFunction, &get_target_from_cache_spec, kLineGetDef, 0}};

// ---- set_target_to_cache ---------------------------------------------------------------------------

const char kTbSet[] = "tframe.utils.argchecker.set_target_to_cache";

constexpr int kLineSetDef = 511;
constexpr int kLineSetImport = 512;
constexpr int kLineSetLoop = 513;
constexpr int kLineSetStore = 514;

PyObject* set_target_to_cache(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* no_cache_target_list = p[0];
  PyObject* converted_czce_list = p[1];
  Ref sysclsbase(import_sysclsbase());
  if (!sysclsbase) return tb_error(kTbSet, kLineSetImport);
  Ref it(PyObject_GetIter(no_cache_target_list));
  if (!it) return tb_error(kTbSet, kLineSetLoop);
  for (Py_ssize_t index = 0;; ++index) {
    Ref target(PyIter_Next(it.get()));
    if (!target) {
      if (PyErr_Occurred()) return tb_error(kTbSet, kLineSetLoop);
      break;
    }
    // The method is read before its arguments, as the call `cache.set_cache(target, converted[i], ...)`.
    Ref set_cache(cache_method(sysclsbase.get(), n_set_cache));
    if (!set_cache) return tb_error(kTbSet, kLineSetStore);
    Ref i(PyLong_FromSsize_t(index));
    if (!i) return tb_error(kTbSet, kLineSetStore);
    Ref converted(PyObject_GetItem(converted_czce_list, i.get()));
    if (!converted) return tb_error(kTbSet, kLineSetStore);
    PyObject* kwnames = key_prefix_kwnames();
    if (!kwnames) return tb_error(kTbSet, kLineSetStore);
    PyObject* argv[] = {target.get(), converted.get(), n_convert.get()};
    Ref r(PyObject_Vectorcall(set_cache.get(), argv, 2, kwnames));
    if (!r) return tb_error(kTbSet, kLineSetStore);
  }
  Py_RETURN_NONE;
}

FuncSpec set_target_to_cache_spec{"set_target_to_cache", "set_target_to_cache", kTbSet, kLineSetDef,
                                  Style::Params, {"no_cache_target_list", "converted_czce_list"}, false,
                                  set_target_to_cache};
MemberRegistrar reg_set_target_to_cache{
    Member{4, "set_target_to_cache", Kind::ModuleFunction, &set_target_to_cache_spec, kLineSetDef, 0}};

// ---- convert_targets -------------------------------------------------------------------------------

const char kTbConvert[] = "tframe.utils.argchecker.convert_targets";
const char kTbConvertBatch[] = "tframe.utils.argchecker.convert_targets._convert_target";

constexpr int kLineConvertDef = 525;
constexpr int kLineConvertImportUfuncs = 526;
constexpr int kLineConvertImportCmd = 527;
constexpr int kLineBatchFormat = 529;
constexpr int kLineBatchSend = 530;
constexpr int kLineBatchLower = 531;
constexpr int kLineBatchStore = 532;
constexpr int kLineConvertLookup = 536;
constexpr int kLineConvertTest = 537;
constexpr int kLineConvertStillMissing = 539;
constexpr int kLineConvertBatch = 540;

// The host conversion functions, imported for one call.
struct HostConversion {
  Ref todictmc, todotmc, send;
};

// The inner `_convert_target(targets)`: converts one batch with one host command and caches the
// lower-cased results. Null with the error set and both traceback entries added.
PyObject* convert_batch(const HostConversion& host, PyObject* targets) noexcept {
  Ref format_targets(PyObject_CallOneArg(host.todictmc.get(), targets));
  if (!format_targets) return tb_error(kTbConvertBatch, kLineBatchFormat);
  Ref real_target_list(PyObject_CallOneArg(host.send.get(), format_targets.get()));
  if (!real_target_list) return tb_error(kTbConvertBatch, kLineBatchSend);

  Ref converted(PyList_New(0));
  if (!converted) return tb_error(kTbConvertBatch, kLineBatchLower);
  {
    Ref dotted(PyObject_CallOneArg(host.todotmc.get(), real_target_list.get()));
    if (!dotted) return tb_error(kTbConvertBatch, kLineBatchLower);
    Ref it(PyObject_GetIter(dotted.get()));
    if (!it) return tb_error(kTbConvertBatch, kLineBatchLower);
    for (;;) {
      Ref item(PyIter_Next(it.get()));
      if (!item) {
        if (PyErr_Occurred()) return tb_error(kTbConvertBatch, kLineBatchLower);
        break;
      }
      Ref lowered(PyObject_CallMethodNoArgs(item.get(), names::lower));
      if (!lowered || PyList_Append(converted.get(), lowered.get()) < 0)
        return tb_error(kTbConvertBatch, kLineBatchLower);
    }
  }

  Ref store(get_global(g_set_target_to_cache));
  if (!store) return tb_error(kTbConvertBatch, kLineBatchStore);
  PyObject* argv[] = {targets, converted.get()};
  Ref r(PyObject_Vectorcall(store.get(), argv, 2, nullptr));
  if (!r) return tb_error(kTbConvertBatch, kLineBatchStore);
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
PyObject* convert_targets(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* target_list = p[0];
  HostConversion host;
  {
    Ref names_list(Py_BuildValue("[ss]", "todictmc", "todotmc"));
    if (!names_list) return tb_error(kTbConvert, kLineConvertImportUfuncs);
    Ref ufuncs(import_module("velmora.tframe.ufuncs", names_list.get(), -1));
    if (!ufuncs) return tb_error(kTbConvert, kLineConvertImportUfuncs);
    host.todictmc = Ref(import_from(ufuncs.get(), "todictmc"));
    if (!host.todictmc) return tb_error(kTbConvert, kLineConvertImportUfuncs);
    host.todotmc = Ref(import_from(ufuncs.get(), "todotmc"));
    if (!host.todotmc) return tb_error(kTbConvert, kLineConvertImportUfuncs);
  }
  host.send = Ref(import_name("velmora.tframe.comm.vmcmd", "vmSendCmdConvertTargets", -1));
  if (!host.send) return tb_error(kTbConvert, kLineConvertImportCmd);

  for (bool sent = false;; sent = true) {
    Ref lookup(get_global(g_get_target_from_cache));
    if (!lookup) return tb_error(kTbConvert, kLineConvertLookup);
    Ref result(PyObject_CallOneArg(lookup.get(), target_list));
    if (!result) return tb_error(kTbConvert, kLineConvertLookup);
    Ref no_cache_target_list, new_target_list;
    if (!unpack_two(result.get(), &no_cache_target_list, &new_target_list))
      return tb_error(kTbConvert, kLineConvertLookup);
    int missing = PyObject_IsTrue(no_cache_target_list.get());
    if (missing < 0) return tb_error(kTbConvert, kLineConvertTest);
    if (!missing) return new_target_list.release();
    if (sent) {
      Ref cls(get_global(names::g_InvalidParamError));
      if (!cls) return tb_error(kTbConvert, kLineConvertStillMissing);
      Ref msg(PyUnicode_FromFormat("convert_targets() could not convert target codes: %R",
                                   no_cache_target_list.get()));
      if (!msg) return tb_error(kTbConvert, kLineConvertStillMissing);
      raise_with_message(cls.get(), msg.get());
      return tb_error(kTbConvert, kLineConvertStillMissing);
    }
    Ref r(convert_batch(host, no_cache_target_list.get()));
    if (!r) return tb_error(kTbConvert, kLineConvertBatch);
  }
}

FuncSpec convert_targets_spec{"convert_targets", "convert_targets", kTbConvert, kLineConvertDef, Style::Single,
                              {"target_list"}, false, convert_targets};
MemberRegistrar reg_convert_targets{
    Member{5, "convert_targets", Kind::ModuleFunction, &convert_targets_spec, kLineConvertDef, 0}};

// ---- patch_target_list -----------------------------------------------------------------------------

const char kTbPatch[] = "tframe.utils.argchecker.patch_target_list";

constexpr int kLinePatchDef = 550;
constexpr int kLinePatchTest = 551;
constexpr int kLinePatchStore = 552;

// Replaces `params["target_list"]`, when present, by its converted list. `params` must be a dict of
// exactly that type (or None, which fails as not iterable).
PyObject* patch_target_list(Func*, PyObject* const* p, PyObject*) noexcept {
  PyObject* params = p[0];
  if (params != Py_None && !PyDict_CheckExact(params)) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "params",
                 PyDict_Type.tp_name, Py_TYPE(params)->tp_name);
    return tb_error(kTbPatch, kLinePatchDef);
  }
  if (params == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
    return tb_error(kTbPatch, kLinePatchTest);
  }
  int present = PyDict_Contains(params, n_target_list);
  if (present < 0) return tb_error(kTbPatch, kLinePatchTest);
  if (present) {
    Ref convert(get_global(g_convert_targets));
    if (!convert) return tb_error(kTbPatch, kLinePatchStore);
    Ref current(PyObject_GetItem(params, n_target_list));
    if (!current) return tb_error(kTbPatch, kLinePatchStore);
    Ref converted(PyObject_CallOneArg(convert.get(), current.get()));
    if (!converted) return tb_error(kTbPatch, kLinePatchStore);
    if (PyDict_SetItem(params, n_target_list, converted.get()) < 0) return tb_error(kTbPatch, kLinePatchStore);
  }
  Py_RETURN_NONE;
}

PyObject* patch_target_list_annotations() noexcept { return Py_BuildValue("{ss}", "params", "dict"); }

FuncSpec patch_target_list_spec{"patch_target_list", "patch_target_list", kTbPatch, kLinePatchDef,
                                Style::Single, {"params"}, false, patch_target_list};
MemberRegistrar reg_patch_target_list{Member{6, "patch_target_list", Kind::ModuleFunction,
                                             &patch_target_list_spec, kLinePatchDef, 0, nullptr,
                                             patch_target_list_annotations}};

}  // namespace
}  // namespace ac
