// The module definition and its multi-phase initialisation: the create step, the execution
// step with its guards, and the process-wide state they keep.
#include "core/constants.hpp"
#include "core/lookup.hpp"
#include "demo.hpp"
#include "function.hpp"
#include "originals.hpp"
#include "source.hpp"

#include <cstdint>

namespace mstar {

namespace {

// One module per process: the state outlives every module object and is never destroyed.
struct State {
    std::int64_t interpreter = -1;
    Ref module;  // filled by the execution step, emptied only by its failure
    Ref dict;
    Ref builtins;
    Ref print;
    Ref open;
    Ref header_function;
    Ref raw_function;
};

State& state() noexcept {
    static State* const instance = new State();
    return *instance;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    State& s = state();
    std::int64_t id = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (id == -1) return nullptr;
    if (s.interpreter == -1) {
        s.interpreter = id;
    } else if (id != s.interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (s.module) return Py_NewRef(s.module.get());

    Ref name = steal(PyObject_GetAttrString(spec, "name"));
    Ref module = name ? steal(PyModule_NewObject(name.get())) : nullptr;
    if (!module) return nullptr;
    struct Copy {
        const char* from;
        const char* to;
        bool none_too;
    };
    static constexpr Copy copies[] = {{"loader", "__loader__", true},
                                      {"origin", "__file__", true},
                                      {"parent", "__package__", true},
                                      {"submodule_search_locations", "__path__", false}};
    PyObject* dict = PyModule_GetDict(module.get());
    for (const Copy& copy : copies) {
        PyObject* value = nullptr;
        int found = PyObject_GetOptionalAttrString(spec, copy.from, &value);
        Ref held = steal(value);
        if (found < 0) return nullptr;
        if (found == 0 || (value == Py_None && !copy.none_too)) continue;
        if (PyDict_SetItemString(dict, copy.to, value) < 0) return nullptr;
    }
    return module.release();
}

// The warning only stops loading when the filters turn it into an error.
bool check_version() {
    const unsigned long built = (PY_MAJOR_VERSION << 8) | PY_MINOR_VERSION;
    const unsigned long running = Py_Version >> 16;
    if (running == built) return true;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, "vantrel.datasets.mstar", "does not match",
                  static_cast<int>((Py_Version >> 24) & 0xff), static_cast<int>((Py_Version >> 16) & 0xff));
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

// A built-in as it is at load, whatever `builtins` holds later.
Ref capture_builtin(PyObject* builtins, PyObject* name) {
    PyObject* found = nullptr;
    int rc = PyObject_GetOptionalAttr(builtins, name, &found);
    if (rc == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return steal(found);
}

// `import <name>` bound as `as`.
bool import_as(PyObject* dict, const Ref& name, const Ref& as, Ref* module = nullptr) {
    Ref imported = import_module(name.get(), dict);
    if (!imported || !store(dict, as.get(), imported.get())) return false;
    if (module) *module = std::move(imported);
    return true;
}

// Steps 3 to 19 of the execution step; `line` is 0 while a failure adds no traceback entry.
bool execute(State& s, PyObject* module, int& line) {
    line = 0;
    s.dict = borrow(PyModule_GetDict(module));
    s.builtins = steal(PyImport_AddModuleRef("builtins"));
    if (!s.builtins) return false;
    set_builtins(s.builtins.get());
    if (PyDict_SetItemString(s.dict.get(), "__builtins__", s.builtins.get()) < 0) return false;
    if (!check_version()) return false;
    if (!build_scalars()) return false;
    Constants& k = K();
    PyObject* const dict = s.dict.get();

    line = 1;
    if (!prepare_function_type()) return false;
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* registered = nullptr;
    int has_entry = PyMapping_GetOptionalItem(modules, k.module_name.get(), &registered);
    steal(registered).reset();
    if (has_entry < 0) return false;
    if (has_entry == 0 && PyObject_SetItem(modules, k.module_name.get(), module) < 0) return false;
    if (!(s.print = capture_builtin(s.builtins.get(), k.print.get()))) return false;
    if (!(s.open = capture_builtin(s.builtins.get(), k.open.get()))) return false;
    if (!build_tuples() || !build_code_objects()) return false;

    Ref struct_module, numpy;
    line = 29;
    if (!import_as(dict, k.os, k.os)) return false;
    line = 30;
    if (!import_as(dict, k.struct_, k.struct_, &struct_module)) return false;
    line = 31;
    if (!import_as(dict, k.numpy, k.np, &numpy)) return false;
    capture_originals(struct_module.get(), numpy.get());

    line = 34;
    s.header_function = make_header_function(dict, s.open.get());
    if (!s.header_function || !store(dict, k.mstar_header.get(), s.header_function.get())) return false;
    line = 83;
    s.raw_function = make_raw_function(dict, s.open.get());
    if (!s.raw_function || !store(dict, k.mstar_raw.get(), s.raw_function.get())) return false;

    line = 204;
    Ref name = load_global(dict, k.dunder_name.get());
    if (!name) return false;
    int run = equals(name.get(), k.dunder_main.get());
    if (run < 0 || (run && !run_demo(dict, s.print.get(), line))) return false;

    line = 1;
    Ref test = steal(PyDict_New());
    return test && store(dict, k.dunder_test.get(), test.get());
}

int exec_module(PyObject* module) {
    State& s = state();
    if (s.module) {
        if (s.module.get() == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'mstar' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    s.module = borrow(module);
    int line = 0;
    if (execute(s, module, line)) return 0;
    if (line) add_traceback(init_origin, line, s.dict.get());
    // The next import starts over; the abandoned namespace keeps what was bound in it.
    s.module.reset();
    s.dict.reset();
    s.header_function.reset();
    s.raw_function.reset();
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyMethodDef module_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "mstar",
    nullptr,
    0,
    module_methods,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace mstar

PyMODINIT_FUNC PyInit_mstar() { return PyModuleDef_Init(&mstar::module_def); }
