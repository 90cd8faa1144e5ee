// The functions the module binds by name, in the order it binds them: the class body of ArgumentChecker
// (after its constants), then the module's functions. Each is defined once, in its family's file, as
// `FuncDef member::<name>{...}`, and bound under its definition's `__name__`; module/class_body.cpp
// makes the class and binds the functions from these two lists.
#pragma once
#include "runtime/func/def.h"

// METHOD(member), CLASSMETHOD(member) or STATICMETHOD(member) per entry, in class order.
#define AC_CLASS_BODY(METHOD, CLASSMETHOD, STATICMETHOD) \
  METHOD(init)                                           \
  METHOD(is_instance_of)                                 \
  METHOD(is_callable)                                    \
  METHOD(is_exist_path)                                  \
  METHOD(is_instance_of_worker)                          \
  METHOD(is_empty_or_not)                                \
  METHOD(is_in_worker)                                   \
  METHOD(is_in)                                          \
  METHOD(sub_set_worker)                                 \
  METHOD(sub_set)                                        \
  METHOD(is_stop_type)                                   \
  METHOD(is_stop_gap)                                    \
  METHOD(is_trailing_type)                               \
  METHOD(is_oder_ctg)                                    \
  METHOD(is_oder_act)                                    \
  METHOD(is_valid_quarter)                               \
  METHOD(is_valid_date)                                  \
  METHOD(is_future_date)                                 \
  METHOD(is_greater_than)                                \
  METHOD(is_greater_or_equal_worker)                     \
  METHOD(is_greater_or_equal_than)                       \
  METHOD(is_less_than)                                   \
  METHOD(is_less_or_equal_than)                          \
  METHOD(is_valid_frequency_worker)                      \
  METHOD(is_valid_frequency)                             \
  METHOD(is_valid_fq_worker)                             \
  METHOD(is_valid_fq)                                    \
  METHOD(is_valid_price_type)                            \
  METHOD(is_valid_order_act)                             \
  METHOD(verify)                                         \
  CLASSMETHOD(check_begin_end_date)                      \
  CLASSMETHOD(is_algorithm_func_and_args)                \
  STATICMETHOD(check_ndarray_idx)                        \
  STATICMETHOD(check_callable)

// FUNCTION(member) per module-level function, bound after the class, in order.
#define AC_MODULE_FUNCTIONS(FUNCTION) \
  FUNCTION(verify_that)               \
  FUNCTION(apply_rule)                \
  FUNCTION(get_target_from_cache)     \
  FUNCTION(set_target_to_cache)       \
  FUNCTION(convert_targets)           \
  FUNCTION(patch_target_list)

namespace ac::member {

#define AC_DECLARE_MEMBER(member) extern FuncDef member;
AC_CLASS_BODY(AC_DECLARE_MEMBER, AC_DECLARE_MEMBER, AC_DECLARE_MEMBER)
AC_MODULE_FUNCTIONS(AC_DECLARE_MEMBER)
#undef AC_DECLARE_MEMBER

}  // namespace ac::member
