#include "originals.hpp"

namespace mstar {

namespace {

// module.name when it is a built-in function, else null.
Ref builtin_function(PyObject* module, const char* name) noexcept {
    Ref found = steal(PyObject_GetAttrString(module, name));
    return found && PyCFunction_Check(found.get()) ? found : nullptr;
}

Ref type_attribute(PyObject* module, const char* name) noexcept {
    Ref found = steal(PyObject_GetAttrString(module, name));
    return found && PyType_Check(found.get()) ? found : nullptr;
}

}  // namespace

Originals capture_originals(PyObject* struct_module, PyObject* numpy_module) noexcept {
    Originals found;
    found.struct_module = borrow(struct_module);
    found.unpack_from = builtin_function(struct_module, "unpack_from");
    found.numpy = borrow(numpy_module);
    found.array = builtin_function(numpy_module, "array");
    found.empty = builtin_function(numpy_module, "empty");
    found.asarray = builtin_function(numpy_module, "asarray");
    found.can_cast = steal(PyObject_GetAttrString(numpy_module, "can_cast"));  // a dispatcher, not a built-in
    found.ndarray = type_attribute(numpy_module, "ndarray");
    found.generic = type_attribute(numpy_module, "generic");
    Ref io = steal(PyImport_ImportModule("io"));
    if (io) {
        found.open = builtin_function(io.get(), "open");
        found.buffered_reader = type_attribute(io.get(), "BufferedReader");
    }
    PyErr_Clear();
    return found;
}

}  // namespace mstar
