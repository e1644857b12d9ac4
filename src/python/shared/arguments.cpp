#include "python/shared/arguments.hpp"

#include <string>

namespace nalo::python {

namespace {

// The binding state of one call; the rules are checked in this order.
class Binder {
public:
    Binder(const Parameters& parameters, Bound& bound) noexcept : p_(parameters), bound_(bound) {}

    bool positional(Py_ssize_t nargs, PyObject* const* items)
    {
        if (nargs > static_cast<Py_ssize_t>(p_.count)) {
            too_many_positional(nargs);
            return false;
        }
        positional_ = static_cast<std::size_t>(nargs);
        for (std::size_t i = 0; i < positional_; ++i) bound_.values[i] = items[i];
        return true;
    }

    bool keyword(PyObject* name, PyObject* value)
    {
        for (std::size_t i = 0; i < p_.count; ++i) {
            if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, p_.names[i]) != 0) continue;
            if (bound_.values[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", p_.callable,
                             p_.names[i]);
                return false;
            }
            bound_.values[i] = value;
            return true;
        }
        if (PyUnicode_Check(name))
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", p_.callable, name);
        else
            PyErr_Format(PyExc_TypeError, "%s keywords must be strings", p_.callable);
        return false;
    }

    bool finish()
    {
        std::size_t missing = 0;
        for (std::size_t i = 0; i < p_.required; ++i)
            if (bound_.values[i] == nullptr) ++missing;
        if (missing == 0) return true;

        // 'a'; 'a' and 'b'; 'a', 'b', and 'c' (CPython's wording).
        std::string names;
        std::size_t listed = 0;
        for (std::size_t i = 0; i < p_.required; ++i) {
            if (bound_.values[i] != nullptr) continue;
            if (listed > 0) {
                if (missing == 2)
                    names += " and ";
                else if (listed + 1 == missing)
                    names += ", and ";
                else
                    names += ", ";
            }
            names += '\'';
            names += p_.names[i];
            names += '\'';
            ++listed;
        }
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", p_.callable, missing,
                     missing == 1 ? "" : "s", names.c_str());
        return false;
    }

private:
    void too_many_positional(Py_ssize_t given) const
    {
        const char* verb = given == 1 ? "was" : "were";
        if (p_.required == p_.count)
            PyErr_Format(PyExc_TypeError, "%s takes %zu positional argument%s but %zd %s given", p_.callable,
                         p_.count, p_.count == 1 ? "" : "s", given, verb);
        else
            PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                         p_.callable, p_.required, p_.count, given, verb);
    }

    const Parameters& p_;
    Bound& bound_;
    std::size_t positional_ = 0;
};

}  // namespace

bool bind_fastcall(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   Bound& bound)
{
    return guard_exceptions<bool>(false, [&]() -> bool {
        Binder binder(parameters, bound);
        if (!binder.positional(nargs, args)) return false;
        if (kwnames != nullptr) {
            const Py_ssize_t count = PyTuple_Size(kwnames);
            if (count < 0) return false;
            for (Py_ssize_t i = 0; i < count; ++i) {
                PyObject* name = PyTuple_GetItem(kwnames, i);  // borrowed
                if (name == nullptr || !binder.keyword(name, args[nargs + i])) return false;
            }
        }
        return binder.finish();
    });
}

bool bind_tuple(const Parameters& parameters, PyObject* args, PyObject* kwargs, Bound& bound)
{
    return guard_exceptions<bool>(false, [&]() -> bool {
        Binder binder(parameters, bound);
        const Py_ssize_t nargs = args != nullptr ? PyTuple_Size(args) : 0;
        if (nargs < 0) return false;
        PyObject* items[kMaxParameters] = {};
        if (nargs <= static_cast<Py_ssize_t>(parameters.count)) {
            for (Py_ssize_t i = 0; i < nargs; ++i) {
                items[i] = PyTuple_GetItem(args, i);  // borrowed
                if (items[i] == nullptr) return false;
            }
        }
        if (!binder.positional(nargs, items)) return false;
        if (kwargs != nullptr) {
            // A dict iterates in insertion order, which is the caller's order.
            Py_ssize_t position = 0;
            PyObject* name = nullptr;
            PyObject* value = nullptr;
            while (PyDict_Next(kwargs, &position, &name, &value))
                if (!binder.keyword(name, value)) return false;
        }
        return binder.finish();
    });
}

void add_processing_note(const char* name)
{
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr) {
        if (traceback != nullptr) PyException_SetTraceback(value, traceback);
        PyObject* result = PyObject_CallMethod(value, "add_note", "N",
                                               PyUnicode_FromFormat("while processing '%s'", name));
        if (result == nullptr)
            PyErr_Clear();  // the note is optional; the conversion's error is what matters
        else
            Py_DECREF(result);
    }
    PyErr_Restore(type, value, traceback);
}

bool convert_double(PyObject* object, const char* name, double& out)
{
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        add_processing_note(name);
        return false;
    }
    out = value;
    return true;
}

bool convert_int64(PyObject* object, const char* name, std::int64_t& out)
{
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) {
        add_processing_note(name);
        return false;
    }
    out = static_cast<std::int64_t>(value);
    return true;
}

bool parse_sample_rate(PyObject* object, std::uint32_t& out)
{
    const long long value = PyLong_AsLongLong(object);
    const bool failed = value == -1 && PyErr_Occurred();
    if (failed) PyErr_Clear();
    if (failed || value <= 0 || value > 4294967295LL) {
        PyErr_SetString(PyExc_ValueError, "sample_rate must be a positive 32-bit integer");
        return false;
    }
    out = static_cast<std::uint32_t>(value);
    return true;
}

}  // namespace nalo::python
