#include "capi/args.hpp"

#include <string>
#include <vector>

#include "capi/entry.hpp"

namespace marovenda::py {

namespace {

[[noreturn]] void type_error(const std::string& message) { throw_error(PyExc_TypeError, message); }

std::string plural(std::size_t n, const char* word) {
    std::string s = std::to_string(n) + " " + word;
    if (n != 1) s += 's';
    return s;
}

// 'a', 'b' and 'c'
std::string name_list(const std::vector<const char*>& names) {
    std::string s;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) s += i + 1 == names.size() ? (names.size() > 2 ? ", and " : " and ") : ", ";
        s += '\'';
        s += names[i];
        s += '\'';
    }
    return s;
}

}  // namespace

void parse(const Signature& sig, PyObject* const* args, Py_ssize_t nargs_in, PyObject* kwnames, Arguments& out) {
    const Param* params = sig.params.begin();
    const std::size_t count = sig.params.size();
    const auto nargs = static_cast<std::size_t>(nargs_in);
    out.values_.fill(nullptr);
    // The usual call, positional arguments only and none missing, is taken
    // as it stands; anything else (and every error) goes the full way.
    if (!kwnames && !sig.var_positional && nargs <= count) {
        std::size_t given = 0;  // leading positional slots filled in order
        while (given < nargs && params[given].kind != Param::KeywordOnly) ++given;
        std::size_t rest = nargs;  // then only optional parameters
        while (rest < count && !params[rest].required) ++rest;
        if (given == nargs && rest == count) {
            for (std::size_t k = 0; k < nargs; ++k) out.values_[k] = args[k];
            return;
        }
    }
    std::size_t n_positional = 0, n_required_positional = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (params[i].kind == Param::KeywordOnly) continue;
        ++n_positional;
        if (params[i].required) n_required_positional = n_positional;
    }

    if (nargs > n_positional) {
        if (!sig.var_positional) {
            std::string takes = n_required_positional == n_positional
                                    ? plural(n_positional, "positional argument")
                                    : "from " + std::to_string(n_required_positional) + " to " +
                                          std::to_string(n_positional) + " positional arguments";
            type_error(std::string(sig.display) + " takes " + takes + " but " + std::to_string(nargs) +
                       (nargs == 1 ? " was" : " were") + " given");
        }
        out.varargs_ = Ref::check(PyTuple_New(nargs_in - Py_ssize_t(n_positional)));
        for (std::size_t i = n_positional; i < nargs; ++i)
            PyTuple_SET_ITEM(out.varargs_.get(), Py_ssize_t(i - n_positional), Py_NewRef(args[i]));
    } else if (sig.var_positional) {
        out.varargs_ = Ref::check(PyTuple_New(0));
    }
    for (std::size_t i = 0, p = 0; i < count && p < nargs; ++i)
        if (params[i].kind != Param::KeywordOnly) out.values_[i] = args[p++];

    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        std::vector<const char*> positional_only;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs_in + k];
            Py_ssize_t len = 0;
            const char* s = PyUnicode_AsUTF8AndSize(key, &len);
            if (!s) throw ErrorAlreadySet{};
            std::string_view name(s, static_cast<std::size_t>(len));
            std::size_t i = 0;
            while (i < count && name != params[i].name) ++i;
            if (i < count && params[i].kind == Param::PositionalOnly) {
                if (!sig.var_keyword) {
                    positional_only.push_back(params[i].name);
                    continue;
                }
                i = count;  // collected like any other keyword
            }
            if (i == count) {
                if (!sig.var_keyword)
                    type_error(std::string(sig.display) + " got an unexpected keyword argument '" +
                               std::string(name) + "'");
                if (!out.kwargs_) out.kwargs_ = Ref::check(PyDict_New());
                check(PyDict_SetItem(out.kwargs_.get(), key, value));
                continue;
            }
            if (out.values_[i])
                type_error(std::string(sig.display) + " got multiple values for argument '" + params[i].name + "'");
            out.values_[i] = value;
        }
        if (!positional_only.empty())
            type_error(std::string(sig.display) +
                       " got some positional-only arguments passed as keyword arguments: " +
                       name_list(positional_only));
    }

    std::vector<const char*> missing_positional, missing_keyword;
    for (std::size_t i = 0; i < count; ++i) {
        if (!params[i].required || out.values_[i]) continue;
        (params[i].kind == Param::KeywordOnly ? missing_keyword : missing_positional).push_back(params[i].name);
    }
    if (!missing_positional.empty())
        type_error(std::string(sig.display) + " missing " +
                   plural(missing_positional.size(), "required positional argument") + ": " +
                   name_list(missing_positional));
    if (!missing_keyword.empty())
        type_error(std::string(sig.display) + " missing " +
                   plural(missing_keyword.size(), "required keyword-only argument") + ": " +
                   name_list(missing_keyword));
}

void parse(const Signature& sig, PyObject* args, PyObject* kwargs, Arguments& out) {
    // Flatten into the vectorcall layout: positional values, then keyword
    // values, with a tuple of keyword names.
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    Ref holder = Ref::check(PyTuple_New(nargs + nkw));
    Ref names;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(holder.get(), i, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    if (nkw > 0) {
        names = Ref::check(PyTuple_New(nkw));
        PyObject *key, *value;
        Py_ssize_t pos = 0, k = 0;
        while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) type_error("keywords must be strings");
            PyTuple_SET_ITEM(names.get(), k, Py_NewRef(key));
            PyTuple_SET_ITEM(holder.get(), nargs + k, Py_NewRef(value));
            ++k;
        }
    }
    PyObject** items = &PyTuple_GET_ITEM(holder.get(), 0);
    parse(sig, items, nargs, names.get(), out);
    out.owned_ = std::move(holder);
}

void add_processing_note(std::string_view name) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return;
    std::string note = "while processing '" + std::string(name) + "'";
    PyObject* r = PyObject_CallMethod(exc, "add_note", "s", note.c_str());
    if (r) {
        Py_DECREF(r);
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

}  // namespace marovenda::py
