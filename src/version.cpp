// get_version(): the version from the version file beside the module.
#include "tessel.hpp"

namespace tessel {
namespace {

// The version from the first accepted line of an open version file, or None
// when no line is accepted.
Ref version_from_lines(PyObject* file) noexcept {
    Ref lines = Ref::steal(PyObject_GetIter(file));
    if (!lines) return {};
    while (Ref line = Ref::steal(PyIter_Next(lines.get()))) {
        Ref stripped = call_method(line.get(), interned<"strip">());
        if (!stripped) return {};
        Ref starts = call_method(stripped.get(), interned<"startswith">(), interned<"version">());
        if (!starts) return {};
        const int accepted = PyObject_IsTrue(starts.get());
        if (accepted < 0) return {};
        if (!accepted) continue;
        Ref parts = call_method(line.get(), interned<"split">(), interned<"=">());
        if (!parts) return {};
        const Py_ssize_t count = PyObject_Size(parts.get());
        if (count < 0) return {};
        if (count != 2) continue;
        Ref value = Ref::steal(PySequence_GetItem(parts.get(), 1));
        if (!value) return {};
        value = call_method(value.get(), interned<"strip">());
        if (!value) return {};
        value = call_method(value.get(), interned<"strip">(), interned<"\"">());
        if (!value) return {};
        return call_method(value.get(), interned<"strip">(), interned<"'">());
    }
    if (PyErr_Occurred()) return {};
    return Ref::new_ref(Py_None);
}

// After a failure in the block of `with`: __exit__ with the exception, which
// is being handled meanwhile (so that one __exit__ raises carries it as its
// __context__).  None when __exit__ suppresses the exception,
// else null with the exception (or __exit__'s own) set.
Ref exit_after_failure(PyObject* exit) noexcept {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref traceback = Ref::steal(PyException_GetTraceback(exc.get()));
    Ref suppressed;
    {
        HandledScope handled(exc.get());
        suppressed = call(exit, reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(),
                          traceback ? traceback.get() : Py_None);
    }
    if (!suppressed) return {};
    const int truth = PyObject_IsTrue(suppressed.get());
    if (truth < 0) return {};
    if (truth) return Ref::new_ref(Py_None);
    PyErr_SetRaisedException(exc.release());
    return {};
}

// `with open(version_file, "r") as f: ...`, closing the file on every way out.
Ref read_version_file(PyObject* version_file) noexcept {
    Ref manager = call(state.open.get(), version_file, interned<"r">());
    if (!manager) return {};
    Ref enter = getattr(manager.get(), interned<"__enter__">());
    if (!enter) return {};
    Ref exit = getattr(manager.get(), interned<"__exit__">());
    if (!exit) return {};
    Ref file = call(enter.get());
    if (!file) return {};
    Ref version = version_from_lines(file.get());
    if (!version) return exit_after_failure(exit.get());
    if (!call(exit.get(), Py_None, Py_None, Py_None)) return {};
    return version;
}

// directory / (subdirectory /) "__version__.py" if it is a file: the path,
// None when it is not, or null with an exception set.
Ref version_file_in(PyObject* directory, PyObject* subdirectory = nullptr) noexcept {
    Ref folder = subdirectory ? Ref::steal(PyNumber_TrueDivide(directory, subdirectory))
                              : Ref::new_ref(directory);
    if (!folder) return {};
    Ref path = Ref::steal(PyNumber_TrueDivide(folder.get(), interned<"__version__.py">()));
    if (!path) return {};
    Ref is_file = call_method(path.get(), interned<"is_file">());
    if (!is_file) return {};
    const int found = PyObject_IsTrue(is_file.get());
    if (found < 0) return {};
    return found ? std::move(path) : Ref::new_ref(Py_None);
}

// The version, or None when there is no accepted line or no file:
// the file beside the module, else the one in the subdirectory NAME.
Ref find_version() noexcept {
    Ref directory = module_directory();
    if (!directory) return {};
    Ref version_file = version_file_in(directory.get());
    if (!version_file) return {};
    if (version_file.get() == Py_None) {
        directory = module_directory();
        if (!directory) return {};
        Ref program = global(interned<"NAME">());
        if (!program) return {};
        version_file = version_file_in(directory.get(), program.get());
        if (!version_file) return {};
    }
    if (version_file.get() == Py_None) return version_file;
    return read_version_file(version_file.get());
}

// Is the environment variable TRACEBACK "1", "true" or "True" (looked up
// now)?  1, 0, or -1 with an exception set.
int traceback_requested() noexcept {
    Ref os = global(interned<"os">());
    if (!os) return -1;
    Ref value = call_method(os.get(), interned<"getenv">(), interned<"TRACEBACK">());
    if (!value) return -1;
    for (const char* yes : {"1", "true", "True"})
        if (PyUnicode_Check(value.get()) && PyUnicode_CompareWithASCIIString(value.get(), yes) == 0)
            return 1;
    return 0;
}

PyObject* get_version(PyObject* const*) noexcept {
    Ref version = find_version();
    if (version && version.get() != Py_None) return version.release();
    if (!version) {
        const bool handled = handle_exception(get_version_spec, TESSEL_HERE, [](PyObject* e) {
            const int full = traceback_requested();
            if (full < 0) return false;
            return full ? print_traceback() : print_exception(interned<"ERROR: ">(), e);
        });
        if (!handled) return nullptr;
    }
    return Py_NewRef(interned<"2.0">());
}

}  // namespace

const FunctionSpec get_version_spec = {
    .name = "get_version",
    .qualname = "get_version",
    .doc =
        "get_version()\n"
        "\n"
        "Get the version of the qel module.\n"
        "Version is taken from the __version__.py file if it exists.\n"
        "The content of __version__.py should be:\n"
        "version = \"0.33\"",
    .body = get_version,
    .where = TESSEL_HERE,
};

}  // namespace tessel
