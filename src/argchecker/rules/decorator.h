// apply_rule's closures: what each captures, by slot.
#pragma once

namespace ac {

// apply_rule.<locals>.decorator
struct Decorator {
  enum Slot { kRules };
};

// apply_rule.<locals>.decorator.<locals>.api_rule_check_wrapper
struct Wrapper {
  enum Slot {
    kRules,   // the checkers given to apply_rule, a tuple
    kFunc,    // the decorated API function
    kLayout,  // the parameter layout of the function that unwrapper reaches, made by the binder
  };
};

}  // namespace ac
