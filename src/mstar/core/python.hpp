// Python operations as Python code spells them: global names, the import statement, calls of
// functions and of methods by name with positional arguments, attributes, `==` and two-item
// unpacking. Each returns what the operation gives, or null (false, -1) with the exception set.
#pragma once

#include "ref.hpp"

#include <array>

namespace mstar {

// Where a global name is looked up: the module namespace, then the `builtins` module.
struct Namespace {
    PyObject* globals;
    PyObject* builtins;
};

// builtins.<name>, or NameError "name '<name>' is not defined".
Ref builtin(Handle builtins, Handle name) noexcept;

// A global name as Python code reads it.
Ref load_global(const Namespace& ns, Handle name) noexcept;

// Stores a value under a name directly in a namespace dict.
inline bool store(Handle globals, Handle name, Handle value) noexcept {
    return PyDict_SetItem(globals.get(), name.get(), value.get()) == 0;
}

// `import a.b`: gives the module bound by the statement (the top-level package for a dotted name).
Ref import_module(Handle name, Handle globals) noexcept;
// `import a.b as c`: the submodule `last` of the package returned by import_module.
Ref import_alias(Handle package, Handle last) noexcept;

// `value == text` (text an exact str) and the result's truth: 1, 0, or -1.
int equals(Handle value, Handle text) noexcept;

// `first, second = items`, with this module's messages for a count other than two.
bool unpack_two(Handle items, Ref& first, Ref& second) noexcept;

// obj.name(*args)
template <typename... Args>
Ref call_method(Handle obj, Handle name, const Args&... args) noexcept {
    std::array<PyObject*, 1 + sizeof...(Args)> stack{obj.get(), Handle(args).get()...};
    return steal(PyObject_VectorcallMethod(name.get(), stack.data(),
                                           stack.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*args)
template <typename... Args>
Ref call(Handle callable, const Args&... args) noexcept {
    std::array<PyObject*, 1 + sizeof...(Args)> stack{nullptr, Handle(args).get()...};
    return steal(PyObject_Vectorcall(callable.get(), stack.data() + 1,
                                     sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(*args, name=value) with one keyword argument.
template <typename... Args>
Ref call_with_keyword(Handle callable, Handle name, Handle value, const Args&... args) noexcept {
    Ref names = steal(PyTuple_Pack(1, name.get()));
    if (!names) return nullptr;
    std::array<PyObject*, 2 + sizeof...(Args)> stack{nullptr, Handle(args).get()..., value.get()};
    return steal(PyObject_Vectorcall(callable.get(), stack.data() + 1,
                                     sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get()));
}

// obj.name
inline Ref get_attr(Handle obj, Handle name) noexcept { return steal(PyObject_GetAttr(obj.get(), name.get())); }

// obj[key]
inline Ref get_item(Handle obj, Handle key) noexcept { return steal(PyObject_GetItem(obj.get(), key.get())); }

}  // namespace mstar
