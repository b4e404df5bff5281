// Calls of Python services as Python code makes them: module-global names, the import statement,
// methods called by name with positional arguments.
#pragma once

#include "ref.hpp"

#include <array>

namespace mstar {

// The `builtins` module that name lookups fall back on; held from load on.
void set_builtins(PyObject* builtins) noexcept;
PyObject* builtins() noexcept;

// A global name as Python code reads it: the namespace, then the builtins, else NameError.
Ref load_global(PyObject* globals, PyObject* name) noexcept;

// Stores a value under a name directly in a namespace dict.
inline bool store(PyObject* globals, PyObject* name, PyObject* value) noexcept {
    return PyDict_SetItem(globals, name, value) == 0;
}

// `import a.b`: gives the module bound by the statement (the top-level package for a dotted name).
Ref import_module(PyObject* name, PyObject* globals) noexcept;
// `import a.b as c`: the submodule `last` of the package returned by import_module.
Ref import_alias(PyObject* package, PyObject* last) noexcept;

// `value == text` (text an exact str) as Python evaluates it, then the result's truth:
// 1, 0, or -1 with the exception set.
int equals(PyObject* value, PyObject* text) noexcept;

// obj.name(*args), positional arguments only.
template <typename... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) noexcept {
    std::array<PyObject*, 1 + sizeof...(Args)> stack{obj, args...};
    return steal(PyObject_VectorcallMethod(name, stack.data(),
                                           stack.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*args), positional arguments only.
template <typename... Args>
Ref call(PyObject* callable, Args... args) noexcept {
    std::array<PyObject*, 1 + sizeof...(Args)> stack{nullptr, args...};
    return steal(PyObject_Vectorcall(callable, stack.data() + 1,
                                     sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// obj.name, with the ordinary attribute protocol.
inline Ref get_attr(PyObject* obj, PyObject* name) noexcept { return steal(PyObject_GetAttr(obj, name)); }

}  // namespace mstar
