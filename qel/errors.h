// Exception classes, the table from SDK result code to class, and handle_error_code.
#pragma once

#include <tuple>

#include "QELCamera2.h"
#include "function.h"
#include "functions.h"

namespace qel {

// The error handler of one call: `handle_error_code` as the module namespace holds it when the call
// looks it up, before it converts anything to C.
class Handler {
public:
    // Looks the handler up; false with NameError when it is missing.
    bool find(Call &call) {
        fn_.reset(load_global(names.handle_error_code, call.function()->handler_cache));
        return static_cast<bool>(fn_);
    }
    // Hands the SDK's result code to the handler; false when the handler raised.
    bool check(int code) {
        Ref number(PyLong_FromLong(code));
        if (!number) return false;
        Ref result(PyObject_CallOneArg(fn_.get(), number.get()));
        return static_cast<bool>(result);
    }

private:
    Ref fn_;
};

// The body of every function whose SDK call takes just its parameters, converted, in parameter order,
// and returns only a result code.
template <typename... Args>
PyObject *call_with_params(Call &call, int (*entry_point)(Args...)) {
    Handler handler;
    std::tuple<Args...> args{};
    if (!handler.find(call) || !std::apply([&call](auto &...arg) { return call.convert(arg...); }, args))
        return nullptr;
    return handler.check(std::apply(entry_point, args)) ? none() : nullptr;
}

// Creates the exception classes in table order, each bound right after it is made.
bool add_exception_classes(PyObject *dict);
// Builds QEL_ERROR_CODE_TO_EXCEPTION from the bound classes and binds it.
bool add_error_table(PyObject *dict);

}  // namespace qel
