#include "function.hpp"

#include "core/constants.hpp"
#include "core/lookup.hpp"
#include "header_reader.hpp"
#include "help_texts.hpp"
#include "raw_reader.hpp"
#include "source.hpp"

#include <opcode_ids.h>
#include <structmember.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

namespace mstar {

namespace {

constexpr Py_ssize_t max_params = 2;

// What differs between the two functions.
struct Signature {
    const char* name;                // bare name, as messages give it
    Ref Constants::* const* params;  // parameter names, in order
    Py_ssize_t nparams;              // the last one has the default "c" when nparams > required
    Py_ssize_t required;
    const Origin* origin;
    int def_line;
    Body body;
};

constexpr Ref Constants::* header_params[] = {&Constants::filepath};
constexpr Ref Constants::* raw_params[] = {&Constants::filepath, &Constants::ofmt};

const Signature header_signature{"mstar_header", header_params, 1, 1, &header_origin,
                                 header_def_line, mstar_header_body};
const Signature raw_signature{"mstar_raw", raw_params, 2, 1, &raw_origin, raw_def_line,
                              mstar_raw_body};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const Signature* signature;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    PyObject* globals;
    PyObject* code;
    PyObject* open;
};

PyTypeObject* g_type = nullptr;  // never released: the function objects live as long as the process
PyObject* g_header_code = nullptr;
PyObject* g_raw_code = nullptr;

Function* as_function(PyObject* self) noexcept { return reinterpret_cast<Function*>(self); }

// --- binding ---------------------------------------------------------------------------------

PyObject* count_error(const Signature& sig, Py_ssize_t given) noexcept {
    const bool exact = sig.nparams == sig.required;
    const bool too_many = given > sig.nparams;
    const char* how = exact ? "exactly" : too_many ? "at most" : "at least";
    const Py_ssize_t expected = too_many && !exact ? sig.nparams : sig.required;
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, how, expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

// 1 when `key` names `param`, 0 when not, -1 with an exception set.
int same_name(PyObject* key, PyObject* param) noexcept { return key == param ? 1 : equals(key, param); }

// Binds the keywords in call order; false with the exception set on the first failure.
bool bind_keywords(const Signature& sig, PyObject* const* values, Py_ssize_t npositional,
                   PyObject* kwnames, PyObject** bound) noexcept {
    Constants& k = K();
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return false;
        }
        bool matched = false;
        // Parameters still open first, then those already bound by position.
        for (Py_ssize_t j = npositional; j < sig.nparams && !matched; ++j) {
            int same = same_name(key, (k.*sig.params[j]).get());
            if (same < 0) return false;
            if (!same) continue;
            if (bound[j]) break;  // a name passed twice by a native caller
            bound[j] = values[npositional + i];
            matched = true;
        }
        if (matched) continue;
        for (Py_ssize_t j = 0; j < sig.nparams; ++j) {
            int same = same_name(key, (k.*sig.params[j]).get());
            if (same < 0) return false;
            if (same) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             sig.name, key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
        return false;
    }
    return true;
}

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** bound) noexcept {
    const bool has_keywords = kwnames && PyTuple_GET_SIZE(kwnames) > 0;
    if (nargs > sig.nparams || (!has_keywords && nargs < sig.required)) {
        count_error(sig, nargs);
        return false;
    }
    for (Py_ssize_t j = 0; j < nargs; ++j) bound[j] = args[j];
    if (has_keywords && !bind_keywords(sig, args, nargs, kwnames, bound)) return false;
    // The default always comes from the constant, whatever __defaults__ says.
    if (sig.nparams > sig.required && !bound[sig.nparams - 1]) bound[sig.nparams - 1] = K().c.get();
    if (!bound[0]) {
        count_error(sig, nargs);
        return false;
    }
    return true;
}

// The interface a METH_FASTCALL | METH_KEYWORDS function has; `self` is not used by binding.
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Function* fn = as_function(self);
    const Signature& sig = *fn->signature;
    PyObject* bound[max_params] = {};
    if (!bind(sig, args, nargs, kwnames, bound))
        return add_traceback(*sig.origin, sig.def_line, fn->globals);
    return sig.body(Call{fn->globals, fn->open}, bound);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return fastcall(self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

// --- the type --------------------------------------------------------------------------------

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->doc);
    Py_VISIT(fn->defaults);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->open);
    return 0;
}

int function_clear(PyObject* self) {
    Function* fn = as_function(self);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->defaults);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->open);
    return 0;
}

void function_dealloc(PyObject* self) {
    Function* fn = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->code);
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
    "vantrel.datasets.mstar.mstar_function",
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

// One NOP per source expression and one long-form location entry per NOP: the lines are what
// tracebacks and tools read from the code object, which never runs.
PyObject* make_code(const char* name, int first_line, std::initializer_list<Ref Constants::*> varnames,
                    int argcount, std::initializer_list<std::pair<int, int>> line_ranges) {
    Constants& k = K();
    std::vector<int> lines;
    for (auto [first, last] : line_ranges)
        for (int line = first; line <= last; ++line) lines.push_back(line);

    std::string bytecode, locations;
    int previous = first_line;
    for (int line : lines) {
        bytecode.push_back(static_cast<char>(NOP));
        bytecode.push_back(0);
        locations.push_back(static_cast<char>(0x80 | (14 << 3)));  // long form, one code unit
        put_svarint(locations, line - previous);
        put_varint(locations, 0);      // ends on the same line
        put_varint(locations, 4 + 1);  // columns, plus one
        put_varint(locations, 40 + 1);
        previous = line;
    }

    Ref code = steal(PyBytes_FromStringAndSize(bytecode.data(), static_cast<Py_ssize_t>(bytecode.size())));
    Ref table = steal(PyBytes_FromStringAndSize(locations.data(), static_cast<Py_ssize_t>(locations.size())));
    Ref names = steal(PyTuple_New(static_cast<Py_ssize_t>(varnames.size())));
    Ref filename = steal(PyUnicode_FromString(source_file));
    Ref fname = steal(PyUnicode_InternFromString(name));
    if (!code || !table || !names || !filename || !fname) return nullptr;
    Py_ssize_t i = 0;
    for (auto member : varnames) PyTuple_SET_ITEM(names.get(), i++, Py_NewRef((k.*member).get()));
    return reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, static_cast<int>(varnames.size()), 0, CO_OPTIMIZED | CO_NEWLOCALS, code.get(),
        k.empty_tuple.get(), k.empty_tuple.get(), names.get(), k.empty_tuple.get(), k.empty_tuple.get(),
        filename.get(), fname.get(), fname.get(), first_line, table.get(), k.empty_bytes.get()));
}

Ref make_function(const Signature& sig, PyObject* code, PyObject* doc_text, PyObject* defaults,
                  PyObject* globals, PyObject* open) {
    Ref name = steal(PyUnicode_InternFromString(sig.name));
    if (!name) return nullptr;
    Function* fn = PyObject_GC_New(Function, g_type);
    if (!fn) return nullptr;
    Py_INCREF(g_type);  // heap-type instances own a reference to their type
    fn->vectorcall = function_vectorcall;
    fn->signature = &sig;
    fn->name = Py_NewRef(name.get());
    fn->qualname = name.release();
    fn->module = Py_NewRef(K().module_name.get());
    fn->doc = Py_XNewRef(doc_text);
    fn->defaults = Py_XNewRef(defaults);
    fn->globals = Py_NewRef(globals);
    fn->code = Py_NewRef(code);
    fn->open = Py_NewRef(open);
    PyObject_GC_Track(fn);
    return steal(reinterpret_cast<PyObject*>(fn));
}

}  // namespace

bool prepare_function_type() noexcept {
    if (g_type) return true;
    g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return g_type != nullptr;
}

bool build_code_objects() noexcept {
    if (g_raw_code) return true;
    using C = Constants;
    if (!g_header_code) {
        g_header_code = make_code("mstar_header", header_def_line,
                                  {&C::filepath, &C::f, &C::header, &C::version, &C::data, &C::name, &C::value},
                                  1, {{34, 34}, {65, 69}, {71, 78}, {80, 80}});
        if (!g_header_code) return false;
    }
    g_raw_code = make_code("mstar_raw", raw_def_line,
                           {&C::filepath, &C::ofmt, &C::f, &C::data, &C::underscore, &C::v, &C::offsets,
                            &C::k, &C::ncols, &C::nrows, &C::x},
                           2, {{83, 83}, {174, 176}, {178, 185}, {187, 187}, {189, 191}, {193, 198}});
    return g_raw_code != nullptr;
}

Ref make_header_function(PyObject* globals, PyObject* open) noexcept {
    Ref doc = steal(PyUnicode_FromString(mstar_header_doc));
    if (!doc) return nullptr;
    return make_function(header_signature, g_header_code, doc.get(), nullptr, globals, open);
}

Ref make_raw_function(PyObject* globals, PyObject* open) noexcept {
    Ref doc = steal(PyUnicode_FromString(mstar_raw_doc));
    if (!doc) return nullptr;
    return make_function(raw_signature, g_raw_code, doc.get(), K().raw_defaults.get(), globals, open);
}

}  // namespace mstar
