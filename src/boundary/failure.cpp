#include "boundary/failure.hpp"

#include <atomic>
#include <string>

#include "boundary/process_wide.hpp"

namespace quorlin::boundary {
namespace {

std::atomic<PyObject*> internal_failure_type{nullptr};

constexpr const char* kInternalFailureDoc =
    "Raised when native code of quorlin fails internally (a broken invariant, not bad input).\n"
    "\n"
    "Like SystemExit it derives directly from BaseException, not from Exception, so that\n"
    "ordinary 'except Exception' handlers do not swallow it: it usually propagates to the\n"
    "top and ends the interpreter.";

PyObject* internal_failure() {
    return created_once(internal_failure_type, [] {
        return PyErr_NewExceptionWithDoc("_native_runtime.InternalFailure", kInternalFailureDoc,
                                         PyExc_BaseException, nullptr);
    });
}

}  // namespace

const ExecutionContext& stop_on_signals() {
    // The test-only twins of the module always take one way through the
    // searches; the shipped modules choose by size.
#if defined(QUORLIN_FORCE_DIRECT_SEARCH)
    static constexpr const SearchPolicy& policy = kAlwaysDirect;
#elif defined(QUORLIN_FORCE_FAST_SEARCH)
    static constexpr const SearchPolicy& policy = kAlwaysFast;
#else
    static constexpr const SearchPolicy& policy = kSearchBySize;
#endif
    static const ExecutionContext context =
        ExecutionContext([](const void*) { return PyErr_CheckSignals() != 0; }, nullptr)
            .with_search(policy);
    return context;
}

void raise_internal_failure(const char* description) {
    PyObject* type = internal_failure();
    if (type == nullptr) return;  // the host's own error is left set
    PyErr_SetString(type, description);
}

std::string take_pending_exception_text() {
    std::string text;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (value != nullptr) {
        if (PyObject* str = PyObject_Str(value)) {
            if (const char* utf8 = PyUnicode_AsUTF8(str)) text = utf8;
            Py_DECREF(str);
        }
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    PyErr_Clear();
    return text;
}

void pending_exception_to_internal(const char* what_failed) {
    const std::string cause = take_pending_exception_text();
    std::string description = what_failed;
    if (!cause.empty()) description += ": " + cause;
    raise_internal_failure(description.c_str());
}

void host_failure_to_internal() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return;
    pending_exception_to_internal("the host could not build a result object");
}

}  // namespace quorlin::boundary
