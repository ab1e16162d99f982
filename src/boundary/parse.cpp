#include "boundary/parse.hpp"

#include <string>
#include <string_view>

namespace quorlin::boundary {
namespace {

void raise_too_many_positional(const ParameterTable& table, Py_ssize_t given) {
    const std::size_t count = table.size();
    const char* verb = given == 1 ? "was" : "were";
    if (table.required == count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given",
                     table.function, count, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %zu to %zu positional arguments but %zd %s given",
                     table.function, table.required, count, given, verb);
    }
}

void raise_missing(const ParameterTable& table, const ArgumentSlots& slots) {
    std::string list;
    std::size_t missing = 0;
    std::size_t total = 0;
    for (std::size_t p = 0; p < table.required; ++p) total += slots[p] == nullptr;
    for (std::size_t p = 0; p < table.required; ++p) {
        if (slots[p] != nullptr) continue;
        ++missing;
        if (missing > 1) {
            if (total == 2) {
                list += " and ";
            } else {
                list += missing == total ? ", and " : ", ";
            }
        }
        list += '\'';
        list += table.parameters[p].name;
        list += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", table.function,
                 total, total == 1 ? "argument" : "arguments", list.c_str());
}

// The index of the parameter called `name`, or the table's size if none is.
std::size_t find_parameter(const ParameterTable& table, PyObject* name) {
    if (!PyUnicode_Check(name)) return table.size();
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &length);
    if (text == nullptr) {
        PyErr_Clear();
        return table.size();
    }
    const std::string_view wanted(text, static_cast<std::size_t>(length));
    for (std::size_t p = 0; p < table.size(); ++p) {
        if (wanted == table.parameters[p].name) return p;
    }
    return table.size();
}

}  // namespace

bool parse_arguments(const ParameterTable& table, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, ArgumentSlots& slots) {
    slots.fill(nullptr);
    const std::size_t count = table.size();
    if (nargs < 0 || static_cast<std::size_t>(nargs) > count) {
        raise_too_many_positional(table, nargs);
        return false;
    }
    for (Py_ssize_t p = 0; p < nargs; ++p) slots[static_cast<std::size_t>(p)] = args[p];

    const Py_ssize_t n_keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < n_keywords; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t p = find_parameter(table, name);
        if (p == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                         table.function, name);
            return false;
        }
        if (slots[p] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         table.function, table.parameters[p].name);
            return false;
        }
        slots[p] = args[nargs + k];
    }

    for (std::size_t p = 0; p < table.required; ++p) {
        if (slots[p] == nullptr) {
            raise_missing(table, slots);
            return false;
        }
    }
    return true;
}

}  // namespace quorlin::boundary
