// The module definition and its multi-phase initialisation: the create step and the execution
// step with its guards.
//
// The module frame behaves like a Python module whose source is `vantrel/datasets/mstar.py`
// (source.hpp); a few of its steps follow from that or from how the state is kept:
// - The state is process-wide (process.hpp), so one process serves one interpreter: the create
//   step records the first interpreter and refuses every other one, and an execution step on a
//   second module object is refused rather than run over the state of the first.
// - The create step makes a plain module from the import spec and copies four of the spec's
//   attributes into it (`__loader__`, `__file__`, `__package__`, `__path__`), so that they are
//   there however the module is created, also by a caller that does not go through importlib.
// - A failure of the execution step, once the constants exist, gets one traceback entry under the
//   code name "init <module name>", which marks the module's initialisation, at the line of the
//   statement that failed; the steps before that report nothing of their own.
// - As the source's last statement, `__test__` (the dict doctest reads for extra tests) is bound
//   to an empty dict: the namespace then holds exactly what the source binds.
#include "demo.hpp"
#include "function.hpp"
#include "header_reader.hpp"
#include "process.hpp"
#include "raw_reader.hpp"

namespace mstar {

namespace {

namespace line = source::init;

// The readers that become function objects, in the order they are bound.
constexpr const Reader* readers[] = {&header_reader, &raw_reader};

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    Process& p = process();
    std::int64_t id = PyInterpreterState_GetID(PyThreadState_GetInterpreter(PyThreadState_Get()));
    if (id == -1) return nullptr;
    if (p.interpreter == -1) {
        p.interpreter = id;
    } else if (id != p.interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (p.module) return Py_NewRef(p.module.get());

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
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, source::module_name, "does not match",
                  static_cast<int>((Py_Version >> 24) & 0xff), static_cast<int>((Py_Version >> 16) & 0xff));
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

// `import <name>` bound as `as`.
bool import_as(PyObject* dict, const Ref& name, const Ref& as, Ref* module = nullptr) {
    Ref imported = import_module(name, dict);
    if (!imported || !store(dict, as, imported)) return false;
    if (module) *module = std::move(imported);
    return true;
}

// Everything after the module is held; `at` is the source line of the step under way, 0 while a
// failure adds no traceback entry.
bool execute(Process& p, PyObject* module, PyObject* dict, int& at) {
    at = 0;
    p.builtins = steal(PyImport_AddModuleRef("builtins"));
    if (!p.builtins) return false;
    if (PyDict_SetItemString(dict, "__builtins__", p.builtins.get()) < 0) return false;
    if (!check_version()) return false;
    if (!p.scalars_built && !(p.scalars_built = build_scalars(p.constants))) return false;
    Constants& k = p.constants;

    at = line::module;
    if (!prepare_function_type()) return false;
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* registered = nullptr;
    int has_entry = PyMapping_GetOptionalItem(modules, k.module_name.get(), &registered);
    steal(registered).reset();
    if (has_entry < 0) return false;
    if (has_entry == 0 && PyObject_SetItem(modules, k.module_name.get(), module) < 0) return false;
    if (!(p.print = builtin(p.builtins, k.print))) return false;
    if (!(p.open = builtin(p.builtins, k.open))) return false;
    if (!p.tuples_built && !(p.tuples_built = build_tuples(k))) return false;
    Ref codes[std::size(readers)];
    for (std::size_t i = 0; i < std::size(readers); ++i)
        if (!(codes[i] = make_code(*readers[i]))) return false;

    Ref struct_module, numpy;
    at = line::import_os;
    if (!import_as(dict, k.os, k.os)) return false;
    at = line::import_struct;
    if (!import_as(dict, k.struct_, k.struct_, &struct_module)) return false;
    at = line::import_numpy;
    if (!import_as(dict, k.numpy, k.np, &numpy)) return false;
    p.originals = capture_originals(struct_module.get(), numpy.get());

    for (std::size_t i = 0; i < std::size(readers); ++i) {
        at = readers[i]->def_line();
        Ref function = make_function(*readers[i], codes[i].get(), dict, p.open.get());
        Ref name = function ? get_attr(function, k.dunder_name) : nullptr;
        if (!name || !store(dict, name, function)) return false;
    }

    at = line::main_test;
    Ref name = load_global({dict, p.builtins.get()}, k.dunder_name);
    if (!name) return false;
    int run = equals(name, k.dunder_main);
    if (run < 0 || (run && !run_demo({dict, p.builtins.get()}, p.print.get(), at))) return false;

    at = line::module;
    Ref test = steal(PyDict_New());
    return test && store(dict, k.dunder_test, test);
}

int exec_module(PyObject* module) {
    Process& p = process();
    if (p.module) {
        if (p.module.get() == module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     source::module_short_name);
        return -1;
    }
    p.module = borrow(module);
    PyObject* dict = PyModule_GetDict(module);
    int at = 0;
    if (execute(p, module, dict, at)) return 0;
    if (at) add_traceback({source::file.data(), source::init_code_name.data()}, at, dict);
    // The next import starts over; the abandoned namespace keeps what was bound in it.
    p.module.reset();
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    source::module_short_name,
    nullptr,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace mstar

PyMODINIT_FUNC PyInit_mstar() { return PyModuleDef_Init(&mstar::module_def); }
