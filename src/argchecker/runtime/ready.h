// The statics the module makes ready when it executes: interned names, function definitions, and the
// work a folder needs done once the module's imports are bound. Each registers itself when it is
// constructed (every one is a namespace-scope static); the execution step makes them ready stage by
// stage, in this order, and within a stage in the order of construction:
//   1. kNames: every `Name` is interned. Nothing of the module runs before this.
//   2. kDefinitions: every `FuncDef`'s names are interned and checked against the argument parser's
//      limits. Functions are made from definitions only after this.
//   3. kHooks: every `ExecHook` runs, with the module's dict, once its imports are bound and before the
//      class is created. No hook may rely on another: each reads only what the imports bound.
// A name or definition made ready stays ready: a second execution (a failed import tried again) passes it
// over. A hook runs at every execution, as what it remembers belongs to the modules that execution bound.
#pragma once
#include <Python.h>

namespace ac {

enum class Stage : unsigned char { kNames, kDefinitions, kHooks, kCount };

class Static {
 public:
  Static(const Static&) = delete;
  Static& operator=(const Static&) = delete;

 protected:
  explicit Static(Stage stage) noexcept;
  ~Static() = default;

 private:
  // False with an exception set on failure; `module_dict` is null before the hooks' stage.
  virtual bool make_ready(PyObject* module_dict) noexcept = 0;
  bool ready_ = false;
  Static* next_ = nullptr;
  friend bool make_ready(Stage stage, PyObject* module_dict) noexcept;
};

// Makes every static of `stage` ready. False with an exception set on failure.
bool make_ready(Stage stage, PyObject* module_dict = nullptr) noexcept;

// Work a folder needs done once the module's imports are bound, before the class is created:
// `ExecHook h{fn};` in the folder's file, where fn(module_dict) returns false with an error set.
class ExecHook final : public Static {
 public:
  explicit ExecHook(bool (*fn)(PyObject* module_dict)) noexcept : Static(Stage::kHooks), fn_(fn) {}

 private:
  bool make_ready(PyObject* module_dict) noexcept override;
  bool (*fn_)(PyObject*);
};

}  // namespace ac
