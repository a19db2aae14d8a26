// Argument parsing for METH_FASTCALL | METH_KEYWORDS methods and for
// __init__ (tuple and dict), with the interpreter's own wording for missing,
// surplus, duplicate and unknown arguments. An absent argument is NULL, which
// tells it apart from None.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "capi/ref.hpp"

namespace marovenda::py {

struct Param {
    enum Kind : unsigned char { PositionalOrKeyword, PositionalOnly, KeywordOnly };
    const char* name;
    bool required = false;
    Kind kind = PositionalOrKeyword;
};

struct Signature {
    static constexpr std::size_t max_params = 16;
    // As messages show it, with parentheses: "Serial.read()".
    const char* display;
    std::initializer_list<Param> params;
    bool var_positional = false;  // collects surplus positional arguments
    bool var_keyword = false;     // collects unknown keyword arguments
};

class Arguments {
public:
    // The argument of parameter i, borrowed; NULL when absent.
    PyObject* operator[](std::size_t i) const noexcept { return values_[i]; }
    bool has(std::size_t i) const noexcept { return values_[i] != nullptr; }
    // Surplus positional arguments (an empty tuple when none), when collected.
    const Ref& varargs() const noexcept { return varargs_; }
    // Unknown keyword arguments (NULL when none), when collected.
    const Ref& kwargs() const noexcept { return kwargs_; }

private:
    friend void parse(const Signature&, PyObject* const*, Py_ssize_t, PyObject*, Arguments&);
    std::array<PyObject*, Signature::max_params> values_{};
    Ref varargs_;
    Ref kwargs_;
    Ref owned_;  // keeps the converted arguments of the tuple-and-dict form alive
    friend void parse(const Signature&, PyObject*, PyObject*, Arguments&);
};

// Throws ErrorAlreadySet with a TypeError set on a mismatch.
void parse(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Arguments& out);
void parse(const Signature& sig, PyObject* args, PyObject* kwargs, Arguments& out);

// Adds the note "while processing '{name}'" to the pending exception.
void add_processing_note(std::string_view name) noexcept;

}  // namespace marovenda::py
