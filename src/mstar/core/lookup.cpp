#include "lookup.hpp"

namespace mstar {

namespace {
// Borrowed from a reference the module holds for the life of the process.
PyObject* g_builtins = nullptr;
}  // namespace

void set_builtins(PyObject* builtins) noexcept { g_builtins = builtins; }
PyObject* builtins() noexcept { return g_builtins; }

Ref load_global(PyObject* globals, PyObject* name) noexcept {
    PyObject* found = nullptr;
    int rc = PyDict_GetItemRef(globals, name, &found);
    if (rc < 0) return nullptr;
    if (rc == 0 && g_builtins) {
        rc = PyObject_GetOptionalAttr(g_builtins, name, &found);
        if (rc < 0) return nullptr;
    }
    if (rc == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return nullptr;
    }
    return steal(found);
}

int equals(PyObject* value, PyObject* text) noexcept {
    // Two exact strs compare by value; nothing can tell the shortcut from `==`.
    if (PyUnicode_CheckExact(value)) return PyUnicode_Compare(value, text) == 0;
    Ref result = steal(PyObject_RichCompare(value, text, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

Ref import_module(PyObject* name, PyObject* globals) noexcept {
    Ref module = steal(PyImport_GetModule(name));
    if (module) {
        Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, PyUnicode_GetLength(name), 1);
        if (dot == -2) return nullptr;
        if (dot == -1) return module;
        Ref top_name = steal(PyUnicode_Substring(name, 0, dot));
        if (!top_name) return nullptr;
        Ref top = steal(PyImport_GetModule(top_name.get()));
        if (top || PyErr_Occurred()) return top;
    } else if (PyErr_Occurred()) {
        return nullptr;
    }
    Ref locals = steal(PyDict_New());
    if (!locals) return nullptr;
    return steal(PyImport_ImportModuleLevelObject(name, globals, locals.get(), nullptr, 0));
}

Ref import_alias(PyObject* package, PyObject* last) noexcept {
    PyObject* found = nullptr;
    int rc = PyObject_GetOptionalAttr(package, last, &found);
    if (rc != 0) return steal(found);  // found, or an error other than AttributeError
    Ref package_name = steal(PyObject_GetAttrString(package, "__name__"));
    if (!package_name) return nullptr;
    Ref full_name = steal(PyUnicode_FromFormat("%U.%U", package_name.get(), last));
    if (!full_name) return nullptr;
    Ref module = steal(PyImport_GetModule(full_name.get()));
    if (!module && !PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", last);
    return module;
}

}  // namespace mstar
