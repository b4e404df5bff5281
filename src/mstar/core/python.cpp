#include "python.hpp"

namespace mstar {

namespace {

bool too_many_values() noexcept {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    return false;
}

bool need_more_values(Py_ssize_t count) noexcept {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", count, count == 1 ? "" : "s");
    return false;
}

}  // namespace

Ref builtin(Handle builtins, Handle name) noexcept {
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(builtins.get(), name.get(), &found) == 0)
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
    return steal(found);
}

Ref load_global(const Namespace& ns, Handle name) noexcept {
    PyObject* found = nullptr;
    int rc = PyDict_GetItemRef(ns.globals, name.get(), &found);
    if (rc != 0) return steal(found);  // found, or an error
    return builtin(ns.builtins, name);
}

Ref import_module(Handle name, Handle globals) noexcept {
    Ref module = steal(PyImport_GetModule(name.get()));
    if (module) {
        Py_ssize_t dot = PyUnicode_FindChar(name.get(), '.', 0, PyUnicode_GetLength(name.get()), 1);
        if (dot == -2) return nullptr;
        if (dot == -1) return module;
        Ref top_name = steal(PyUnicode_Substring(name.get(), 0, dot));
        if (!top_name) return nullptr;
        Ref top = steal(PyImport_GetModule(top_name.get()));
        if (top || PyErr_Occurred()) return top;
    } else if (PyErr_Occurred()) {
        return nullptr;
    }
    Ref locals = steal(PyDict_New());
    if (!locals) return nullptr;
    return steal(PyImport_ImportModuleLevelObject(name.get(), globals.get(), locals.get(), nullptr, 0));
}

Ref import_alias(Handle package, Handle last) noexcept {
    PyObject* found = nullptr;
    int rc = PyObject_GetOptionalAttr(package.get(), last.get(), &found);
    if (rc != 0) return steal(found);  // found, or an error other than AttributeError
    Ref package_name = steal(PyObject_GetAttrString(package.get(), "__name__"));
    if (!package_name) return nullptr;
    Ref full_name = steal(PyUnicode_FromFormat("%U.%U", package_name.get(), last.get()));
    if (!full_name) return nullptr;
    Ref module = steal(PyImport_GetModule(full_name.get()));
    if (!module && !PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", last.get());
    return module;
}

int equals(Handle value, Handle text) noexcept {
    // Two exact strs compare by value; nothing can tell the shortcut from `==`.
    if (PyUnicode_CheckExact(value.get())) return PyUnicode_Compare(value.get(), text.get()) == 0;
    Ref result = steal(PyObject_RichCompare(value.get(), text.get(), Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

bool unpack_two(Handle items, Ref& first, Ref& second) noexcept {
    PyObject* const obj = items.get();
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
        if (size > 2) return too_many_values();
        if (size < 2) return need_more_values(size);
        PyObject** values = PySequence_Fast_ITEMS(obj);
        first = borrow(values[0]);
        second = borrow(values[1]);
        return true;
    }
    Ref iterator = steal(PyObject_GetIter(obj));
    if (!iterator) return false;
    Ref got[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        got[i] = steal(PyIter_Next(iterator.get()));
        if (!got[i]) return PyErr_Occurred() ? false : need_more_values(i);
    }
    Ref extra = steal(PyIter_Next(iterator.get()));
    if (extra) return too_many_values();
    if (PyErr_Occurred()) return false;
    first = std::move(got[0]);
    second = std::move(got[1]);
    return true;
}

}  // namespace mstar
