#include "module/binder.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace velmora::module {
namespace {

std::string full_name(const FunctionDescription& d) {
    return std::string(d.class_name) + "." + d.method_name + "()";
}

bool fail_too_many_positional(const FunctionDescription& d, Py_ssize_t given) {
    const std::size_t n = d.parameters.size();
    const char* verb = given == 1 ? "was" : "were";
    if (d.required == n) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     full_name(d).c_str(), n, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                     full_name(d).c_str(), d.required, n, given, verb);
    }
    return false;
}

// Places one keyword argument; names are compared by their UTF-8 text.
bool bind_keyword(const FunctionDescription& d, PyObject* name, PyObject* value, Slots slots) {
    if (PyUnicode_Check(name)) {
        for (std::size_t i = 0; i < d.parameters.size(); ++i) {
            const char* parameter = d.parameters[i];
            if (PyUnicode_EqualToUTF8AndSize(name, parameter,
                                             static_cast<Py_ssize_t>(std::strlen(parameter))) == 0) {
                continue;
            }
            if (slots[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             full_name(d).c_str(), parameter);
                return false;
            }
            slots[i] = value;
            return true;
        }
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", full_name(d).c_str(),
                 name);
    return false;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
    const std::size_t count = names.size();
    std::string list;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            if (count > 2) list += ",";
            list += i + 1 == count ? " and " : " ";
        }
        list += "'";
        list += names[i];
        list += "'";
    }
    return list;
}

bool check_required(const FunctionDescription& d, std::size_t positional, Slots slots) {
    if (positional >= d.required) return true;
    std::vector<const char*> missing;
    for (std::size_t i = positional; i < d.required; ++i) {
        if (slots[i] == nullptr) missing.push_back(d.parameters[i]);
    }
    if (missing.empty()) return true;
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", full_name(d).c_str(),
                 missing.size(), missing.size() == 1 ? "argument" : "arguments",
                 quoted_list(missing).c_str());
    return false;
}

bool bind_positional(const FunctionDescription& d, PyObject* const* args, Py_ssize_t given,
                     Slots slots) {
    if (static_cast<std::size_t>(given) > d.parameters.size()) return fail_too_many_positional(d, given);
    for (Py_ssize_t i = 0; i < given; ++i) slots[i] = args[i];
    for (std::size_t i = given; i < slots.size(); ++i) slots[i] = nullptr;
    return true;
}

}  // namespace

bool bind_vectorcall(const FunctionDescription& d, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, Slots slots) {
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (!bind_positional(d, args, given, slots)) return false;
    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            if (!bind_keyword(d, PyTuple_GET_ITEM(kwnames, k), args[given + k], slots)) return false;
        }
    }
    return check_required(d, static_cast<std::size_t>(given), slots);
}

bool bind_tuple_and_dict(const FunctionDescription& d, PyObject* args, PyObject* kwargs,
                         Slots slots) {
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (!bind_positional(d, PySequence_Fast_ITEMS(args), given, slots)) return false;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            if (!bind_keyword(d, name, value, slots)) return false;
        }
    }
    return check_required(d, static_cast<std::size_t>(given), slots);
}

}  // namespace velmora::module
