#include "function.hpp"

#include "process.hpp"

#include <opcode_ids.h>
#include <structmember.h>

#include <cstddef>
#include <string>

namespace mstar {

namespace {

constexpr auto type_name = source::join(source::module_name, ".mstar_function");

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Reader* reader;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    PyObject* globals;
    PyObject* code;
    PyObject* open;
};

// What a function object holds: all of it released with the object; the members that can take
// part in a reference cycle also visited and cleared by the collector.
constexpr PyObject* Function::* collectable[] = {&Function::doc, &Function::defaults, &Function::globals,
                                                 &Function::open};
constexpr PyObject* Function::* plain[] = {&Function::name, &Function::qualname, &Function::module,
                                           &Function::code};

Function* as_function(PyObject* self) noexcept { return reinterpret_cast<Function*>(self); }

// The defaults of a reader's last parameters (a constant tuple), or null.
PyObject* defaults_of(const Reader& reader) noexcept {
    return reader.defaults ? (K().*reader.defaults).get() : nullptr;
}

Py_ssize_t parameter_count(const Reader& reader) noexcept {
    return static_cast<Py_ssize_t>(reader.parameters.size());
}

Py_ssize_t required_count(const Reader& reader) noexcept {
    PyObject* defaults = defaults_of(reader);
    return parameter_count(reader) - (defaults ? PyTuple_GET_SIZE(defaults) : 0);
}

// --- binding ---------------------------------------------------------------------------------

PyObject* count_error(const Reader& reader, Py_ssize_t given) noexcept {
    const Py_ssize_t nparams = parameter_count(reader), required = required_count(reader);
    const bool exact = nparams == required;
    const bool too_many = given > nparams;
    const char* how = exact ? "exactly" : too_many ? "at most" : "at least";
    const Py_ssize_t expected = too_many && !exact ? nparams : required;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 reader.name, how, expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

// 1 when `key` names `param`, 0 when not, -1 with an exception set.
int same_name(PyObject* key, PyObject* param) noexcept { return key == param ? 1 : equals(key, param); }

// Binds the keywords in call order; false with the exception set on the first failure.
bool bind_keywords(const Reader& reader, PyObject* const* values, Py_ssize_t npositional,
                   PyObject* kwnames, PyObject** bound) noexcept {
    Constants& k = K();
    const Py_ssize_t nparams = parameter_count(reader);
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", reader.name);
            return false;
        }
        bool matched = false;
        // Parameters still open first, then those already bound by position.
        for (Py_ssize_t j = npositional; j < nparams && !matched; ++j) {
            int same = same_name(key, (k.*reader.parameters[static_cast<std::size_t>(j)]).get());
            if (same < 0) return false;
            if (!same) continue;
            if (bound[j]) break;  // a name passed twice by a native caller
            bound[j] = values[npositional + i];
            matched = true;
        }
        if (matched) continue;
        for (Py_ssize_t j = 0; j < nparams; ++j) {
            int same = same_name(key, (k.*reader.parameters[static_cast<std::size_t>(j)]).get());
            if (same < 0) return false;
            if (same) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             reader.name, key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", reader.name, key);
        return false;
    }
    return true;
}

bool bind(const Reader& reader, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** bound) noexcept {
    const Py_ssize_t nparams = parameter_count(reader), required = required_count(reader);
    const bool has_keywords = kwnames && PyTuple_GET_SIZE(kwnames) > 0;
    if (nargs > nparams || (!has_keywords && nargs < required)) {
        count_error(reader, nargs);
        return false;
    }
    for (Py_ssize_t j = 0; j < nargs; ++j) bound[j] = args[j];
    if (has_keywords && !bind_keywords(reader, args, nargs, kwnames, bound)) return false;
    // Defaults always come from the constant tuple, whatever __defaults__ says.
    for (Py_ssize_t j = required; j < nparams; ++j)
        if (!bound[j]) bound[j] = PyTuple_GET_ITEM(defaults_of(reader), j - required);
    for (Py_ssize_t j = 0; j < required; ++j) {
        if (!bound[j]) {
            count_error(reader, nargs);
            return false;
        }
    }
    return true;
}

// The interface a METH_FASTCALL | METH_KEYWORDS function has; `self` is not used by binding.
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Function* fn = as_function(self);
    const Reader& reader = *fn->reader;
    PyObject* bound[max_parameters] = {};
    if (!bind(reader, args, nargs, kwnames, bound))
        return add_traceback(reader.origin, reader.def_line(), fn->globals);
    return reader.body(Call{{fn->globals, process().builtins.get()}, fn->open, reader.origin}, bound);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return fastcall(self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

// --- the type --------------------------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    for (auto member : collectable) Py_VISIT(fn->*member);
    return 0;
}

int function_clear(PyObject* self) {
    Function* fn = as_function(self);
    for (auto member : collectable) Py_CLEAR(fn->*member);
    return 0;
}

void function_dealloc(PyObject* self) {
    Function* fn = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    for (auto member : plain) Py_CLEAR(fn->*member);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Read through a class, the function stays itself (it takes no `self`); having a __get__ makes
// inspect and pydoc treat it as a routine and show its signature.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

PyObject* get_defaults(PyObject* self, void*) {
    PyObject* defaults = as_function(self)->defaults;
    return Py_NewRef(defaults ? defaults : Py_None);
}

// Reports only: binding never reads it back.
int set_defaults(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_doc(PyObject* self, void*) {
    PyObject* doc = as_function(self)->doc;
    return Py_NewRef(doc ? doc : Py_None);
}

int set_doc(PyObject* self, PyObject* value, void*) {
    Py_XSETREF(as_function(self)->doc, Py_XNewRef(value));
    return 0;
}

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {"__name__", Py_T_OBJECT_EX, offsetof(Function, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(Function, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(Function, code), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec{
    type_name.data(),
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// --- code objects ----------------------------------------------------------------------------

void put_varint(std::string& out, unsigned value) {
    while (value >= 64) {
        out.push_back(static_cast<char>(0x40 | (value & 63)));
        value >>= 6;
    }
    out.push_back(static_cast<char>(value));
}

void put_svarint(std::string& out, int value) {
    put_varint(out, value < 0 ? (static_cast<unsigned>(-value) << 1) | 1 : static_cast<unsigned>(value) << 1);
}

}  // namespace

// One NOP per statement and one long-form location entry per NOP: the lines are what tracebacks
// and tools read from the code object, which never runs.
Ref make_code(const Reader& reader) noexcept {
    Constants& k = K();
    std::string bytecode, locations;
    int previous = reader.def_line();
    for (int line : reader.lines) {
        bytecode.push_back(static_cast<char>(NOP));
        bytecode.push_back(0);
        locations.push_back(static_cast<char>(0x80 | (14 << 3)));  // long form, one code unit
        put_svarint(locations, line - previous);
        put_varint(locations, 0);      // ends on the same line
        put_varint(locations, 4 + 1);  // columns, plus one
        put_varint(locations, 40 + 1);
        previous = line;
    }
    const auto nvars = static_cast<Py_ssize_t>(reader.parameters.size() + reader.locals.size());
    Ref code = steal(PyBytes_FromStringAndSize(bytecode.data(), static_cast<Py_ssize_t>(bytecode.size())));
    Ref table = steal(PyBytes_FromStringAndSize(locations.data(), static_cast<Py_ssize_t>(locations.size())));
    Ref names = steal(PyTuple_New(nvars));
    Ref filename = steal(PyUnicode_FromString(reader.origin.file));
    Ref name = steal(PyUnicode_InternFromString(reader.name));
    if (!code || !table || !names || !filename || !name) return nullptr;
    Py_ssize_t i = 0;
    for (auto member : reader.parameters) PyTuple_SET_ITEM(names.get(), i++, Py_NewRef((k.*member).get()));
    for (auto member : reader.locals) PyTuple_SET_ITEM(names.get(), i++, Py_NewRef((k.*member).get()));
    return steal(reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        static_cast<int>(reader.parameters.size()), 0, 0, static_cast<int>(nvars), 0, CO_OPTIMIZED | CO_NEWLOCALS,
        code.get(), k.empty_tuple.get(), k.empty_tuple.get(), names.get(), k.empty_tuple.get(), k.empty_tuple.get(),
        filename.get(), name.get(), name.get(), reader.def_line(), table.get(), k.empty_bytes.get())));
}

Ref make_function(const Reader& reader, PyObject* code, PyObject* globals, PyObject* open) noexcept {
    Ref name = steal(PyUnicode_InternFromString(reader.name));
    Ref doc = name ? steal(PyUnicode_FromString(reader.doc)) : nullptr;
    if (!doc) return nullptr;
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(process().function_type.get());
    Function* fn = PyObject_GC_New(Function, type);
    if (!fn) return nullptr;
    Py_INCREF(type);  // heap-type instances own a reference to their type
    fn->vectorcall = function_vectorcall;
    fn->reader = &reader;
    fn->name = Py_NewRef(name.get());
    fn->qualname = name.release();
    fn->module = Py_NewRef(K().module_name.get());
    fn->doc = doc.release();
    fn->defaults = Py_XNewRef(defaults_of(reader));
    fn->globals = Py_NewRef(globals);
    fn->code = Py_NewRef(code);
    fn->open = Py_NewRef(open);
    PyObject_GC_Track(fn);
    return steal(reinterpret_cast<PyObject*>(fn));
}

bool prepare_function_type() noexcept {
    Process& p = process();
    if (!p.function_type) p.function_type = steal(PyType_FromSpec(&function_spec));
    return static_cast<bool>(p.function_type);
}

}  // namespace mstar
