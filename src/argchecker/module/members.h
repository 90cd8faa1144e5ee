// The functions the module binds by name: every member of ArgumentChecker and every module-level
// function. Each is defined, once, in its family's file; module/class_body.cpp binds them in order.
#pragma once
#include "runtime/function.h"

namespace ac::member {

// ArgumentChecker
extern FuncDef init, is_instance_of, is_callable, is_exist_path, is_instance_of_worker, is_empty_or_not,
    is_in_worker, is_in, sub_set_worker, sub_set, is_stop_type, is_stop_gap, is_trailing_type, is_oder_ctg,
    is_oder_act, is_valid_quarter, is_valid_date, is_future_date, is_greater_than, is_greater_or_equal_worker,
    is_greater_or_equal_than, is_less_than, is_less_or_equal_than, is_valid_frequency_worker,
    is_valid_frequency, is_valid_fq_worker, is_valid_fq, is_valid_price_type, is_valid_order_act, verify,
    check_begin_end_date, is_algorithm_func_and_args, check_ndarray_idx, check_callable;

// The module
extern FuncDef verify_that, apply_rule, get_target_from_cache, set_target_to_cache, convert_targets,
    patch_target_list;

}  // namespace ac::member
