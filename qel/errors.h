// Exception classes, the table from SDK result code to class, and handle_error_code.
#pragma once

#include <tuple>

#include "QELCamera2.h"
#include "function.h"
#include "functions.h"
#include "watch.h"

namespace qel {

// What handle_error_code does with a code (an int of any size): None, or an exception raised.
PyObject *respond_to_code(PyObject *code);

// What the module made at import and the answer to a code 0 relies on.
struct Success {
    PyObject *cls = nullptr;    // strong: QELSuccess
    uint64_t stamp = 0;         // its type stamp at import; 0: unknown, so never plain
    PyObject *table = nullptr;  // strong: QEL_ERROR_CODE_TO_EXCEPTION
    PyObject *zero = nullptr;   // strong: the int 0
    // The stamps of the namespace and of the table when code 0 was last seen to find QELSuccess in
    // a table made only of int keys; 0 while unknown.
    uint64_t namespace_seen = 0;
    uint64_t table_seen = 0;
};
extern Success success;

// zero_is_plain_success() when a stamp differs from the one last seen.
bool zero_is_plain_success_after_change();

// Whether handle_error_code(0) returns None having done nothing else: the namespace's table and
// QELSuccess are those made at import, unchanged, and the table maps 0 to that class. Then the
// answer is given without making or raising anything.
inline bool zero_is_plain_success() {
    const Success &s = success;
    if (s.table_seen != 0 && namespace_stamp() == s.namespace_seen && dict_stamp(s.table) == s.table_seen &&
        Py_IS_TYPE(s.cls, &PyType_Type) && type_stamp(reinterpret_cast<PyTypeObject *>(s.cls)) == s.stamp)
        return true;
    return zero_is_plain_success_after_change();
}

// The error handler of one call: `handle_error_code` as the module namespace holds it when the call
// looks it up, before it converts anything to C.
class Handler {
public:
    // Looks the handler up; false with NameError when it is missing.
    bool find(Call &call) {
        fn_.reset(load_global(names.handle_error_code, call.function()->handler_cache));
        return static_cast<bool>(fn_);
    }
    // Hands the SDK's result code to the handler; false when the handler raised. The module's own
    // handle_error_code is run directly, as the call from Python would run it.
    bool check(int code) {
        if (is_function_of(fn_.get(), handle_error_code_spec)) {
            // One level of recursion, as the call through the function object counts.
            if (Py_EnterRecursiveCall(" while calling a Python object")) return false;
            const bool answered = (code == 0 && zero_is_plain_success()) || respond_directly(code);
            Py_LeaveRecursiveCall();
            return answered;
        }
        Ref number(PyLong_FromLong(code));
        if (!number) return false;
        Ref result(PyObject_CallOneArg(fn_.get(), number.get()));
        return static_cast<bool>(result);
    }

private:
    bool respond_directly(int code);

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
