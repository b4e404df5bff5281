#include "originals.hpp"

namespace mstar {

namespace {

Originals g_originals;

// module.name if it is a built-in function, else null.
PyObject* builtin_function(PyObject* module, const char* name) noexcept {
    Ref found = steal(PyObject_GetAttrString(module, name));
    return found && PyCFunction_Check(found.get()) ? found.release() : nullptr;
}

PyObject* attribute_of_type(PyObject* module, const char* name, PyTypeObject* type) noexcept {
    Ref found = steal(PyObject_GetAttrString(module, name));
    return found && Py_IS_TYPE(found.get(), type) ? found.release() : nullptr;
}

PyTypeObject* type_attribute(PyObject* module, const char* name) noexcept {
    Ref found = steal(PyObject_GetAttrString(module, name));
    return found && PyType_Check(found.get()) ? reinterpret_cast<PyTypeObject*>(found.release()) : nullptr;
}

}  // namespace

const Originals& originals() noexcept { return g_originals; }

void capture_originals(PyObject* struct_module, PyObject* numpy_module) noexcept {
    Originals found;
    found.struct_module = Py_NewRef(struct_module);
    found.unpack_from = builtin_function(struct_module, "unpack_from");
    found.numpy = Py_NewRef(numpy_module);
    found.array = builtin_function(numpy_module, "array");
    found.empty = builtin_function(numpy_module, "empty");
    found.ndarray = type_attribute(numpy_module, "ndarray");
    // NumPy 1.x can rebind the array operators (set_numeric_ops): then `*` and `+` are not
    // known to be multiply and add.
    Ref ufunc_type = steal(PyObject_GetAttrString(numpy_module, "ufunc"));
    if (ufunc_type && PyType_Check(ufunc_type.get()) && !PyObject_HasAttrString(numpy_module, "set_numeric_ops")) {
        PyTypeObject* ufunc = reinterpret_cast<PyTypeObject*>(ufunc_type.get());
        found.cos = attribute_of_type(numpy_module, "cos", ufunc);
        found.sin = attribute_of_type(numpy_module, "sin", ufunc);
        found.multiply = attribute_of_type(numpy_module, "multiply", ufunc);
        found.add = attribute_of_type(numpy_module, "add", ufunc);
    }
    Ref io = steal(PyImport_ImportModule("io"));
    if (io) found.buffered_reader = type_attribute(io.get(), "BufferedReader");
    PyErr_Clear();
    g_originals = found;
}

}  // namespace mstar
