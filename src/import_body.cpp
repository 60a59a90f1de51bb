// The import-time body: the host modules, the probes of the optional
// packages, and the names that the module binds, in the order of binding.
#include "tessel.hpp"

namespace tessel {
namespace {

// Binds a module global to what a step of the body made: made is that
// step's result, null when it failed (its exception stands, and nothing is
// bound).
bool bind(PyObject* name, Ref made) noexcept {
    return made && set_item(state.globals, name, made.get());
}

Ref import(PyObject* name, PyObject* fromlist = nullptr) noexcept {
    return Ref::steal(PyImport_ImportModuleLevelObject(name, state.globals, nullptr, fromlist, 0));
}

// `from module import name` for each of names, binding each.
bool import_from(PyObject* module_name, std::initializer_list<PyObject*> wanted) noexcept {
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(wanted.size())));
    if (!fromlist) return false;
    Py_ssize_t i = 0;
    for (PyObject* n : wanted) {
        if (!n) return false;
        PyTuple_SET_ITEM(fromlist.get(), i++, Py_NewRef(n));
    }
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
        if (!bind(n, std::move(value))) return false;
    }
    return true;
}

// The host modules that the functions use; none of these is optional.
bool import_host_modules() noexcept {
    for (PyObject* name :
         {interned<"sys">(), interned<"os">(), interned<"re">(), interned<"traceback">()}) {
        if (!bind(name, import(name))) return false;
    }
    return import_from(interned<"pathlib">(), {interned<"Path">()}) &&
           import_from(interned<"typing">(),
                       {interned<"List">(), interned<"Tuple">(), interned<"Optional">()}) &&
           bind(interned<"argparse">(), import(interned<"argparse">()));
}

// The help formatter is a nicety: whatever goes wrong, fall back.
bool bind_help_formatter() noexcept {
    if (import_from(interned<"quorlin">(), {interned<"CustomRichHelpFormatter">()})) return true;
    PyErr_Clear();
    Ref argparse = global(interned<"argparse">());
    if (!argparse) return false;
    Ref fallback = getattr(argparse.get(), interned<"RawTextHelpFormatter">());
    return bind(interned<"CustomRichHelpFormatter">(), std::move(fallback));
}

// `import module` binding bound_as (the top-level package of a dotted
// name) and flag = True; when the import fails with ImportError, flag =
// False and a warning, and the body goes on.
bool probe_optional(PyObject* module, PyObject* bound_as, PyObject* flag,
                    PyObject* warning) noexcept {
    if (Ref imported = import(module))
        return bind(bound_as, std::move(imported)) && bind(flag, Ref::new_ref(Py_True));
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return false;
    PyErr_Clear();
    return bind(flag, Ref::new_ref(Py_False)) && print(warning);
}

// NAME, then __version__ from get_version(), then __filename__.
bool bind_identity() noexcept {
    if (!bind(interned<"NAME">(), Ref::new_ref(interned<"tessel">()))) return false;
    Ref get_version_name = add_function(state.globals, get_version_spec);
    if (!get_version_name) return false;
    Ref get_version = global(get_version_name.get());
    if (!get_version) return false;
    if (!bind(interned<"__version__">(), call(get_version.get()))) return false;
    Ref path = module_file_path();
    return path && bind(interned<"__filename__">(), getattr(path.get(), interned<"name">()));
}

// Run as the main program: sys.exit(main()).
bool exit_if_main() noexcept {
    Ref module_name = global(interned<"__name__">());
    if (!module_name) return false;
    const int is_main = PyObject_RichCompareBool(module_name.get(), interned<"__main__">(), Py_EQ);
    if (is_main <= 0) return is_main == 0;
    Ref sys = global(interned<"sys">());
    if (!sys) return false;
    Ref exit = getattr(sys.get(), interned<"exit">());
    if (!exit) return false;
    Ref main = global(interned<"main">());
    if (!main) return false;
    Ref status = call(main.get());
    return status && call(exit.get(), status.get());
}

}  // namespace

bool bind_builtins() noexcept {
    // The interpreter's builtins module, which is what the import machinery's
    // frames see as their built-ins.
    Ref module = Ref::steal(PyImport_Import(interned<"builtins">()));
    if (!module) return false;
    PyObject* builtins = PyModule_GetDict(module.get());
    state.builtins = Ref::new_ref(builtins);
    for (auto [slot, name] : {std::pair{&state.print, interned<"print">()},
                              {&state.open, interned<"open">()},
                              {&state.sum, interned<"sum">()}}) {
        const int found = dict_item(builtins, name, *slot);
        if (found <= 0) {
            if (found == 0)
                PyErr_Format(PyExc_RuntimeError, "tessel: the built-in %U is missing", name);
            return false;
        }
    }
    return true;
}

bool run_import_body() noexcept {
    if (!import_host_modules() || !bind_help_formatter()) return false;
    // `import gntp.notifier` binds the top-level package.
    if (!probe_optional(interned<"clipboard">(), interned<"clipboard">(),
                        interned<"HAS_CLIPBOARD">(),
                        interned<"Warning: clipboard module not available. Install with: pip "
                                 "install clipboard">()) ||
        !probe_optional(interned<"gntp.notifier">(), interned<"gntp">(), interned<"HAS_GROWL">(),
                        interned<"Warning: gntp module not available. Install with: pip install "
                                 "gntp">()))
        return false;
    const int growl = truth_of_global(interned<"HAS_GROWL">());
    if (growl < 0 || (growl && !(state.gntp_guard = make_gntp_guard()))) return false;
    if (!bind_identity() || !bind(interned<"FileCreator">(), make_file_creator())) return false;
    if (!add_function(state.globals, main_spec) || !exit_if_main()) return false;
    return bind(interned<"__test__">(), Ref::steal(PyDict_New()));
}

}  // namespace tessel
