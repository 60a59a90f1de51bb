// The module itself: its definition, the create and execution steps, the
// import-time body, and get_version().
#include "tessel.hpp"

namespace tessel {
namespace {

// Import-time helpers ----------------------------------------------------------

bool bind(PyObject* name, PyObject* value) noexcept {
    return value && PyDict_SetItem(state.globals, name, value) == 0;
}

Ref import(PyObject* name, PyObject* fromlist = nullptr) noexcept {
    return Ref::steal(PyImport_ImportModuleLevelObject(name, state.globals, nullptr, fromlist, 0));
}

// `from module import name` for each of names, binding each.
bool import_from(PyObject* module_name, std::initializer_list<PyObject*> wanted) noexcept {
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(wanted.size())));
    if (!fromlist) return false;
    Py_ssize_t i = 0;
    for (PyObject* n : wanted) PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(n));
    Ref module = import(module_name, fromlist.get());
    if (!module) return false;
    for (PyObject* n : wanted) {
        Ref value = getattr(module.get(), n);
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'", n, module_name);
            return false;
        }
        if (!bind(n, value.get())) return false;
    }
    return true;
}

// A failed optional import: true (handled) for ImportError and its
// subclasses, after binding flag to False and printing the warning.
bool handle_missing(PyObject* flag, const char* warning) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return false;
    PyErr_Clear();
    return bind(flag, Py_False) && print(warning);
}

bool bind_function(PyObject* name, const FunctionSpec& spec) noexcept {
    Ref f = make_function(spec);
    return f && bind(name, f.get());
}

// Path(__file__).parent, with both names looked up now.
Ref module_directory() noexcept {
    Ref path = module_file_path();
    return path ? getattr(path.get(), names().parent) : Ref();
}

bool make_file_creator() noexcept {
    Ref ns = Ref::steal(PyDict_New());
    Ref doc = Ref::steal(PyUnicode_FromString("Handles file creation with notification support"));
    if (!ns || !doc) return false;
    const std::pair<PyObject*, const FunctionSpec*> methods[] = {
        {names().dunder_init, &init_spec},
        {names()._init_growl, &init_growl_spec},
        {names().parse_brace_expansion, &parse_brace_expansion_spec},
        {names().create_file, &create_file_spec},
        {names()._notify, &notify_spec},
        {names().create_files, &create_files_spec},
    };
    if (PyDict_SetItem(ns.get(), names().dunder_module, names().module_name) < 0 ||
        PyDict_SetItem(ns.get(), names().dunder_qualname, names().FileCreator) < 0 ||
        PyDict_SetItem(ns.get(), names().dunder_doc, doc.get()) < 0)
        return false;
    for (auto [name, spec] : methods) {
        Ref f = make_function(*spec);
        if (!f || PyDict_SetItem(ns.get(), name, f.get()) < 0) return false;
    }
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return false;
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type),
                   {names().FileCreator, bases.get(), ns.get()});
    return bind(names().FileCreator, cls.get());
}

// The import-time body, in order.
bool run_body() noexcept {
    // The host modules that the functions use; none of these is optional.
    for (PyObject* name : {names().sys, names().os, names().re, names().traceback}) {
        Ref module = import(name);
        if (!bind(name, module.get())) return false;
    }
    if (!import_from(names().pathlib, {names().Path}) ||
        !import_from(names().typing, {names().List, names().Tuple, names().Optional}))
        return false;
    if (!bind(names().argparse, import(names().argparse).get())) return false;

    // The help formatter is a nicety: whatever goes wrong, fall back.
    if (!import_from(names().quorlin, {names().CustomRichHelpFormatter})) {
        PyErr_Clear();
        Ref argparse = global(names().argparse);
        if (!argparse) return false;
        Ref fallback = getattr(argparse.get(), names().RawTextHelpFormatter);
        if (!bind(names().CustomRichHelpFormatter, fallback.get())) return false;
    }

    if (Ref clipboard = import(names().clipboard)) {
        if (!bind(names().clipboard, clipboard.get()) || !bind(names().HAS_CLIPBOARD, Py_True))
            return false;
    } else if (!handle_missing(names().HAS_CLIPBOARD,
                               "Warning: clipboard module not available. Install with: pip install clipboard")) {
        return false;
    }

    // `import gntp.notifier` binds the top-level package.
    if (Ref gntp = import(names().gntp_notifier)) {
        if (!bind(names().gntp, gntp.get()) || !bind(names().HAS_GROWL, Py_True)) return false;
    } else if (!handle_missing(names().HAS_GROWL,
                               "Warning: gntp module not available. Install with: pip install gntp")) {
        return false;
    }

    Ref program = Ref::steal(PyUnicode_FromString("tessel"));
    if (!bind(names().NAME, program.get())) return false;
    if (!bind_function(names().get_version, get_version_spec)) return false;
    Ref get_version = global(names().get_version);
    if (!get_version) return false;
    if (!bind(names().dunder_version, call(get_version.get(), {}).get())) return false;

    Ref path = module_file_path();
    if (!path || !bind(names().dunder_filename, getattr(path.get(), names().name).get())) return false;

    if (!make_file_creator() || !bind_function(names().main, main_spec)) return false;

    Ref module_name = global(names().dunder_name);
    if (!module_name) return false;
    const int is_main = PyObject_RichCompareBool(module_name.get(), names().main_name, Py_EQ);
    if (is_main < 0) return false;
    if (is_main) {
        Ref sys = global(names().sys);
        if (!sys) return false;
        Ref exit = getattr(sys.get(), names().exit);
        if (!exit) return false;
        Ref main = global(names().main);
        if (!main) return false;
        Ref status = call(main.get(), {});
        if (!status || !call(exit.get(), {status.get()})) return false;
    }

    Ref test = Ref::steal(PyDict_New());
    return bind(names().dunder_test, test.get());
}

bool make_names() noexcept {
    static constexpr const char* texts[] = {
#define TESSEL_NAME_TEXT(id, text) text,
        TESSEL_NAMES(TESSEL_NAME_TEXT)
#undef TESSEL_NAME_TEXT
    };
    constexpr auto count = static_cast<Py_ssize_t>(sizeof texts / sizeof texts[0]);
    Ref table = Ref::steal(PyTuple_New(count));
    if (!table) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* text = PyUnicode_InternFromString(texts[i]);
        if (!text) return false;
        PyTuple_SET_ITEM(table.get(), i, text);
    }
    Names& n = state.names;
    Py_ssize_t at = 0;
#define TESSEL_TAKE_NAME(id, text) n.id = PyTuple_GET_ITEM(table.get(), at++);
    TESSEL_NAMES(TESSEL_TAKE_NAME)
#undef TESSEL_TAKE_NAME
    state.name_table = std::move(table);

    state.kw_mkdir = Ref::steal(PyTuple_Pack(2, n.parents, n.exist_ok));
    state.kw_touch = Ref::steal(PyTuple_Pack(1, n.exist_ok));
    state.kw_growl_notifier = Ref::steal(PyTuple_Pack(4, n.applicationName, n.notifications,
                                                      n.defaultNotifications, n.applicationIcon));
    state.kw_notify = Ref::steal(PyTuple_Pack(6, n.noteType, n.title, n.description, n.icon,
                                              n.sticky, n.priority));
    state.one = Ref::steal(PyLong_FromLong(1));
    state.separators = Ref::steal(PyTuple_Pack(2, n.slash, n.backslash));
    return state.kw_mkdir && state.kw_touch && state.kw_growl_notifier && state.kw_notify &&
           state.one && state.separators;
}

// The built-ins that the module binds once, at import.
bool bind_builtins() noexcept {
    // The interpreter's builtins module, which is what the import machinery's
    // frames see as their built-ins.
    Ref module = Ref::steal(PyImport_ImportModule("builtins"));
    if (!module) return false;
    PyObject* builtins = PyModule_GetDict(module.get());
    state.builtins = Ref::borrow(builtins);
    for (auto [slot, name] : {std::pair{&state.print, "print"}, {&state.open, "open"},
                              {&state.sum, "sum"}}) {
        PyObject* value = PyDict_GetItemString(builtins, name);
        if (!value) {
            PyErr_Format(PyExc_RuntimeError, "tessel: the built-in %s is missing", name);
            return false;
        }
        *slot = Ref::borrow(value);
    }
    return true;
}

// Lifetime -------------------------------------------------------------------------

// The module lives as long as the interpreter that imported it: the
// interpreter's own dict holds it, through a capsule, and the interpreter
// clears that dict when it is finalised.  The capsule's destructor then
// releases the state, so that a new interpreter in the same process imports
// the module afresh.
constexpr const char* keeper_key = "tessel.tessel";

void release_kept(PyObject* capsule) noexcept {
    Ref module = Ref::steal(static_cast<PyObject*>(PyCapsule_GetContext(capsule)));
    if (module && module.get() == state.module) release_state();
}

// Makes module the one module object of this process, owned by the
// interpreter that is importing it; refuses a second live interpreter.
bool keep(PyObject* module) noexcept {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) return false;
    PyObject* dict = PyInterpreterState_GetDict(interpreter);
    if (!dict) {
        PyErr_SetString(PyExc_RuntimeError, "tessel: the interpreter has no room for the module");
        return false;
    }
    Ref capsule = Ref::steal(PyCapsule_New(&state, keeper_key, release_kept));
    if (!capsule || PyCapsule_SetContext(capsule.get(), Py_NewRef(module)) < 0) {
        if (capsule) Py_DECREF(module);
        return false;
    }
    if (PyDict_SetItemString(dict, keeper_key, capsule.get()) < 0) return false;
    state.module = module;
    state.interpreter = id;
    return true;
}

// Drops the module that keep() kept, and with it the state; the pending
// exception, if any, is kept.
void forget_module() noexcept {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!dict || PyDict_DelItemString(dict, keeper_key) < 0) PyErr_Clear();
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
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module || !keep(module.get())) return nullptr;
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
    // A module object made elsewhere than in create_module is kept the same way.
    if (!state.module && !keep(module)) return -1;
    state.executed = true;
    state.globals = PyModule_GetDict(module);
    if (make_names() && bind_builtins() && init_function_type() && run_body()) return 0;
    // All or nothing: a failed import leaves no state behind, and the next
    // import starts clean with a new module object.
    forget_module();
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessel",
    "\n"
    "tessel - Create blank files with notification support\n"
    "Cross-platform file creation utility with clipboard integration\n"
    "\n"
    "Author: the tessel developers\n"
    "Version: 2.0\n",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

// get_version() ---------------------------------------------------------------------

// The version from the first accepted line of an open version file, or a
// borrowed None when no line is accepted.
Ref version_from_lines(PyObject* file) noexcept {
    Ref lines = Ref::steal(PyObject_GetIter(file));
    if (!lines) return {};
    while (Ref line = Ref::steal(PyIter_Next(lines.get()))) {
        Ref stripped = call_method(line.get(), names().strip);
        if (!stripped) return {};
        Ref starts = call_method(stripped.get(), names().startswith, {names().version_word});
        if (!starts) return {};
        const int accepted = PyObject_IsTrue(starts.get());
        if (accepted < 0) return {};
        if (!accepted) continue;
        Ref parts = call_method(line.get(), names().split, {names().equals});
        if (!parts) return {};
        const Py_ssize_t count = PyObject_Size(parts.get());
        if (count < 0) return {};
        if (count != 2) continue;
        Ref value = Ref::steal(PySequence_GetItem(parts.get(), 1));
        if (value) value = call_method(value.get(), names().strip);
        if (value) value = call_method(value.get(), names().strip, {names().dquote});
        if (value) value = call_method(value.get(), names().strip, {names().squote});
        return value;
    }
    if (PyErr_Occurred()) return {};
    return Ref::borrow(Py_None);
}

// `with open(version_file, "r") as f: ...`, closing the file on every way out.
Ref read_version_file(PyObject* version_file) noexcept {
    Ref manager = call(state.open.get(), {version_file, names().read_mode});
    if (!manager) return {};
    Ref enter = getattr(manager.get(), names().dunder_enter);
    if (!enter) return {};
    Ref exit = getattr(manager.get(), names().dunder_exit);
    if (!exit) return {};
    Ref file = call(enter.get(), {});
    if (!file) return {};
    Ref version = version_from_lines(file.get());
    if (version) {
        if (!call(exit.get(), {Py_None, Py_None, Py_None})) return {};
        return version;
    }
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref traceback = Ref::steal(PyException_GetTraceback(exc.get()));
    Ref suppressed;
    {
        // As in `with`, the exception is being handled while __exit__ runs,
        // so one that __exit__ raises carries it as its __context__.
        HandledScope handled(exc.get());
        suppressed = call(exit.get(), {reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(),
                                       traceback ? traceback.get() : Py_None});
    }
    if (!suppressed) return {};
    const int truth = PyObject_IsTrue(suppressed.get());
    if (truth < 0) return {};
    if (truth) return Ref::borrow(Py_None);
    PyErr_SetRaisedException(exc.release());
    return {};
}

// The version, or a borrowed None when there is no accepted line or no file.
Ref find_version() noexcept {
    Ref directory = module_directory();
    if (!directory) return {};
    Ref version_file = Ref::steal(PyNumber_TrueDivide(directory.get(), names().version_file));
    if (!version_file) return {};
    Ref is_file = call_method(version_file.get(), names().is_file);
    int found = is_file ? PyObject_IsTrue(is_file.get()) : -1;
    if (found < 0) return {};
    if (!found) {
        directory = module_directory();
        if (!directory) return {};
        Ref program = global(names().NAME);
        if (!program) return {};
        Ref subdirectory = Ref::steal(PyNumber_TrueDivide(directory.get(), program.get()));
        if (!subdirectory) return {};
        version_file = Ref::steal(PyNumber_TrueDivide(subdirectory.get(), names().version_file));
        if (!version_file) return {};
        is_file = call_method(version_file.get(), names().is_file);
        found = is_file ? PyObject_IsTrue(is_file.get()) : -1;
        if (found < 0) return {};
    }
    if (!found) return Ref::borrow(Py_None);
    return read_version_file(version_file.get());
}

bool traceback_requested() noexcept {
    Ref os = global(names().os);
    if (!os) return false;
    Ref value = call_method(os.get(), names().getenv, {names().TRACEBACK});
    if (!value) return false;
    for (const char* yes : {"1", "true", "True"})
        if (PyUnicode_Check(value.get()) && PyUnicode_CompareWithASCIIString(value.get(), yes) == 0)
            return true;
    return false;
}

PyObject* get_version(PyObject* const*) noexcept {
    Ref version = find_version();
    if (version && version.get() != Py_None) return version.release();
    if (!version) {
        if (!pending_is_exception()) return nullptr;
        Handling handling("get_version", TESSEL_HERE);
        const bool full = traceback_requested();
        if (PyErr_Occurred()) return nullptr;
        Ref report;
        if (full) {
            Ref traceback = global(names().traceback);
            if (traceback) report = call_method(traceback.get(), names().format_exc);
        } else {
            report = concat_format("ERROR: ", handling.exception());
        }
        if (!report || !print(report.get())) return nullptr;
    }
    return PyUnicode_FromString("2.0");
}

}  // namespace

const FunctionSpec get_version_spec = {
    "get_version",
    "get_version",
    "get_version()\n"
    "\n"
    "Get the version of the qel module.\n"
    "Version is taken from the __version__.py file if it exists.\n"
    "The content of __version__.py should be:\n"
    "version = \"0.33\"",
    {},
    {},
    get_version, TESSEL_HERE,
};

}  // namespace tessel

PyMODINIT_FUNC PyInit_tessel() noexcept {
    return PyModuleDef_Init(&tessel::module_def);
}
