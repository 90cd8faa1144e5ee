#include "runtime/func/def.h"

#include "runtime/ref.h"

namespace ac {

namespace {

const char kModulePrefix[] = "tframe.utils.argchecker.";

}  // namespace

FuncDef::FuncDef(const char* qualname_, int line_, std::initializer_list<Param> params_, Body body_) noexcept
    : Static(Stage::kDefinitions),
      qualname(qualname_),
      name(qualname_),
      tb_name(nullptr),
      line(line_),
      body(body_) {
  for (const Param& p : params_) {
    if (p.name[0] == '*' && p.name[1] == '*') {
      starstar_name = p.name + 2;
    } else if (p.name[0] == '*') {
      star_name = p.name + 1;
      varargs = true;
    } else {
      params.push_back(p.name);
      if (p.has_default) defaults.push_back(p.value);
      if (p.annotation) annotations.emplace_back(p.name, p.annotation);
    }
  }
  nparams = static_cast<int>(params.size());
  if (nparams == 0 && varargs) style = Style::NoKeywords;
  if (nparams == 1 && !varargs) style = Style::Single;
  if (!varargs) exact_nargs = nparams;
  finish();
}

FuncDef::FuncDef(const char* qualname_, int line_, vectorcallfunc call) noexcept
    : Static(Stage::kDefinitions),
      qualname(qualname_),
      name(qualname_),
      tb_name(nullptr),
      line(line_),
      style(Style::Custom),
      varargs(true),
      star_name("args"),
      starstar_name("kwargs"),
      custom_call(call) {
  finish();
}

void FuncDef::finish() noexcept {
  // __name__: the last part of the qualified name; the traceback name: the dotted path without <locals>.
  for (const char* c = qualname; *c; ++c) {
    if (*c == '.') name = c + 1;
  }
  tb_storage_ = kModulePrefix;
  tb_storage_ += qualname;
  for (size_t at; (at = tb_storage_.find(".<locals>")) != std::string::npos;) tb_storage_.erase(at, 9);
  tb_name = tb_storage_.c_str();
}

PyObject* FuncDef::make_defaults(PyObject* module_dict) const noexcept {
  if (defaults.empty()) return nullptr;
  Ref t(PyTuple_New(static_cast<Py_ssize_t>(defaults.size())));
  if (!t) return nullptr;
  Py_ssize_t i = 0;
  for (const Default& d : defaults) {
    PyObject* v = nullptr;
    switch (d.kind) {
      case Default::kNone:
        v = new_ref(Py_None);
        break;
      case Default::kTrue:
        v = new_ref(Py_True);
        break;
      case Default::kFalse:
        v = new_ref(Py_False);
        break;
      case Default::kStr:
        v = PyUnicode_FromString(d.text);
        break;
      case Default::kGlobalAttr: {
        PyObject* g = PyDict_GetItemString(module_dict, d.text);  // borrowed
        if (!g) {
          PyErr_Format(PyExc_NameError, "name '%s' is not defined", d.text);
          return nullptr;
        }
        v = PyObject_GetAttrString(g, d.attr);
        break;
      }
    }
    if (!v) return nullptr;
    PyTuple_SET_ITEM(t.get(), i++, v);
  }
  return t.release();
}

PyObject* FuncDef::make_annotations() const noexcept {
  if (annotations.empty()) return nullptr;
  Ref d(PyDict_New());
  if (!d) return nullptr;
  for (const auto& [param, text] : annotations) {
    Ref v(PyUnicode_FromString(text));
    if (!v || PyDict_SetItemString(d.get(), param, v.get()) < 0) return nullptr;
  }
  return d.release();
}

bool FuncDef::make_ready(PyObject*) noexcept {
  if (nparams > kMaxParams) {
    PyErr_Format(PyExc_SystemError, "%s has %d parameters, more than the argument parser's %d", qualname,
                 nparams, kMaxParams);
    return false;
  }
  name_obj = PyUnicode_InternFromString(name);
  qualname_obj = PyUnicode_FromString(qualname);
  if (!name_obj || !qualname_obj) return false;
  for (int i = 0; i < nparams; ++i) {
    param_objs[i] = PyUnicode_InternFromString(params[i]);
    if (!param_objs[i]) return false;
  }
  return true;
}

}  // namespace ac
