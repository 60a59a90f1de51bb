// The module's life: its definition, the state it runs with, and the create
// and execution steps that tie it to the interpreter that imports it.
#include "tessel.hpp"

#include <new>

namespace tessel {
namespace {
// Never destroyed: the references in the state belong to an interpreter and
// are released while it lives (release_state), not at process exit, when no
// interpreter may be left to release them to.
alignas(State) unsigned char state_storage[sizeof(State)];
}  // namespace

State& state = *::new (static_cast<void*>(state_storage)) State();

void release_state() noexcept {
    // Emptied before anything is released: releasing a reference may run
    // code that reaches the module again.
    forget_strings();
    State old = std::move(state);
    state = State();
}

namespace {

// The module lives as long as the interpreter that imported it: the
// interpreter's own dict holds it, through a capsule, and the interpreter
// clears that dict when it is finalised.  The capsule's destructor then
// releases the state, so that a new interpreter in the same process imports
// the module afresh.  (A C string: the key is used before the module's
// strings are made and after they are released.)
constexpr const char* interpreter_dict_key = "tessel.tessel";

void release_with_interpreter(PyObject* capsule) noexcept {
    Ref module = Ref::steal(static_cast<PyObject*>(PyCapsule_GetContext(capsule)));
    if (module && module.get() == state.module) release_state();
}

// Makes module the one module object of this process, owned by the
// interpreter that is importing it; refuses a second live interpreter.
bool attach_to_interpreter(PyObject* module) noexcept {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) return false;
    PyObject* dict = PyInterpreterState_GetDict(interpreter);
    if (!dict) {
        PyErr_SetString(PyExc_RuntimeError, "tessel: the interpreter has no room for the module");
        return false;
    }
    Ref capsule = Ref::steal(PyCapsule_New(&state, interpreter_dict_key, release_with_interpreter));
    if (!capsule) return false;
    Ref held = Ref::new_ref(module);
    if (PyCapsule_SetContext(capsule.get(), held.get()) < 0) return false;
    held.release();  // the capsule's context owns it now
    if (PyDict_SetItemString(dict, interpreter_dict_key, capsule.get()) < 0) return false;
    state.module = module;
    state.interpreter = id;
    return true;
}

// Drops the module that attach_to_interpreter() attached, and with it the
// state; the pending exception, if any, is kept.
void detach_from_interpreter() noexcept {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!dict || PyDict_DelItemString(dict, interpreter_dict_key) < 0) PyErr_Clear();
    release_state();  // in case the entry was gone already
    PyErr_SetRaisedException(exc.release());
}

bool same_interpreter() noexcept {
    if (state.interpreter == -1) return true;
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == state.interpreter) return true;
    if (id != -1)
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
    return false;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
    if (!same_interpreter()) return nullptr;
    if (state.module) return Py_NewRef(state.module);
    // Before the module is executed, so before interned<> strings exist.
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module || !attach_to_interpreter(module.get())) return nullptr;
    return module.release();
}

int exec_module(PyObject* module) noexcept {
    if (state.executed && module == state.module) return 0;
    if (!same_interpreter()) return -1;
    if (state.executed || (state.module && module != state.module)) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'tessel' has already been imported. Re-initialisation is not "
                        "supported.");
        return -1;
    }
    // A module object made elsewhere than in create_module is attached the
    // same way.
    if (!state.module && !attach_to_interpreter(module)) return -1;
    state.executed = true;
    state.globals = PyModule_GetDict(module);
    if (make_strings() && bind_builtins() && init_function_type() && run_import_body()) return 0;
    // All or nothing: a failed import leaves no state behind, and the next
    // import starts clean with a new module object.
    detach_from_interpreter();
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    // Safe without the GIL: what threads share is made during the import
    // and only read afterwards, and every item taken from a container that
    // may change is taken as a new reference.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tessel",
    .m_doc =
        "\n"
        "tessel - Create blank files with notification support\n"
        "Cross-platform file creation utility with clipboard integration\n"
        "\n"
        "Author: the tessel developers\n"
        "Version: 2.0\n",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace tessel

PyMODINIT_FUNC PyInit_tessel() noexcept { return PyModuleDef_Init(&tessel::module_def); }
