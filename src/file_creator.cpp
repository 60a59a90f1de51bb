// FileCreator: construction, the batch, and the creation of one file; the
// class itself, assembled from its methods here and in the other areas.
#include "tessel.hpp"

namespace tessel {

namespace {

PyObject* init(PyObject* const* params) noexcept {
    PyObject* self = params[0];
    Ref directory = module_directory();
    if (!directory) return nullptr;
    Ref icon = Ref::steal(PyNumber_TrueDivide(directory.get(), interned<"tessel.jpg">()));
    if (!icon || PyObject_SetAttr(self, interned<"icon_path">(), icon.get()) < 0) return nullptr;
    if (PyObject_SetAttr(self, interned<"growl">(), Py_None) < 0) return nullptr;
    const int growl = truth_of_global(interned<"HAS_GROWL">());
    if (growl < 0) return nullptr;
    if (growl && !call_method(self, interned<"_init_growl">())) return nullptr;
    Py_RETURN_NONE;
}

// An argument that names a directory ("dir/") or nothing at all ("") cannot
// become a blank file.  Such a path is only touched as it stands, the way
// touch(1) treats it: an existing directory gets new times, anything else
// fails with the host's own error.  Making a regular file "dir" instead would
// block every later "dir/x".  The separators are the host's: Windows has
// "\\" beside "/".
bool names_a_directory(PyObject* filepath) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(filepath);
    if (length == 0) return true;
    const Py_UCS4 last = PyUnicode_READ_CHAR(filepath, length - 1);
#ifdef MS_WINDOWS
    if (last == static_cast<Py_UCS4>('\\')) return true;
#endif
    return last == static_cast<Py_UCS4>('/');
}

// The parent directories and the blank file itself (or, for a directory,
// its new times); false with an exception set.
bool make_blank_file(PyObject* filepath, PyObject* file_path) noexcept {
    if (names_a_directory(filepath)) {
        Ref os = global(interned<"os">());
        return os && call_method(os.get(), interned<"utime">(), filepath);
    }
    Ref parent = getattr(file_path, interned<"parent">());
    if (!parent) return false;
    if (!call_method(parent.get(), interned<"mkdir">(), kw<"parents">(Py_True),
                     kw<"exist_ok">(Py_True)))
        return false;
    return static_cast<bool>(call_method(file_path, interned<"touch">(), kw<"exist_ok">(Py_True)));
}

// clipboard.copy(str(file_path.absolute())); false with an exception set.
bool copy_path(PyObject* file_path) noexcept {
    Ref clipboard = global(interned<"clipboard">());
    if (!clipboard) return false;
    Ref copy = getattr(clipboard.get(), interned<"copy">());
    if (!copy) return false;
    Ref absolute = call_method(file_path, interned<"absolute">());
    if (!absolute) return false;
    Ref text = Ref::steal(PyObject_Str(absolute.get()));
    return text && call(copy.get(), text.get());
}

// The clipboard copy; a failure derived from Exception becomes a warning.
bool copy_to_clipboard(PyObject* file_path) noexcept {
    if (copy_path(file_path)) return true;
    return handle_and_print(create_file_spec, TESSEL_HERE,
                            interned<"Warning: Could not copy to clipboard: ">());
}

// Everything create_file does inside its outer handler: the file, the
// clipboard copy, the notification and the line that reports the file.
bool create_and_report(PyObject* self, PyObject* filepath) noexcept {
    Ref file_path = make_path(filepath);
    if (!file_path || !make_blank_file(filepath, file_path.get())) return false;
    const int clipboard = truth_of_global(interned<"HAS_CLIPBOARD">());
    if (clipboard < 0 || (clipboard && !copy_to_clipboard(file_path.get()))) return false;
    Ref path_text = Ref::steal(PyObject_Str(file_path.get()));
    if (!path_text || !call_method(self, interned<"_notify">(), path_text.get())) return false;
    Ref absolute = call_method(file_path.get(), interned<"absolute">());
    if (!absolute) return false;
    Ref line = concat_format(interned<"\xE2\x9C\x93 File created: \"">(), absolute.get(),
                             interned<"\"">());
    return line && print(line.get());
}

PyObject* create_file(PyObject* const* params) noexcept {
    PyObject* self = params[0];
    PyObject* filepath = params[1];
    if (create_and_report(self, filepath)) Py_RETURN_TRUE;
    const bool handled = handle_exception(create_file_spec, TESSEL_HERE, [filepath](PyObject* e) {
        Ref formatted = Ref::steal(PyObject_Format(e, interned<"">()));
        if (!formatted) return false;
        Ref line = concat({interned<"\xE2\x9C\x97 Error creating file \"">(), filepath,
                           interned<"\": ">(), formatted.get()});
        if (!line || !print(line.get())) return false;
        const int debug = debug_requested();
        return debug >= 0 && (!debug || print_traceback());
    });
    return handled ? Py_NewRef(Py_False) : nullptr;
}

PyObject* create_files(PyObject* const* params) noexcept {
    PyObject* self = params[0];
    PyObject* files = params[1];
    Ref all_files = Ref::steal(PyList_New(0));
    if (!all_files) return nullptr;
    // Indexing anew each round, like the host's own list iteration, keeps
    // this safe when a callee changes the list.
    for (Py_ssize_t i = 0; Ref file_arg = list_item(files, i); ++i) {
        const int brace = is_brace_argument(file_arg.get());
        if (brace < 0) return nullptr;
        if (brace) {
            Ref expanded = call_method(self, interned<"parse_brace_expansion">(), file_arg.get());
            if (!expanded || !extend(all_files.get(), expanded.get())) return nullptr;
        } else if (PyList_Append(all_files.get(), file_arg.get()) < 0) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) return nullptr;
    Py_ssize_t success_count = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all_files.get()); ++i) {
        Ref filepath = Ref::new_ref(PyList_GET_ITEM(all_files.get(), i));
        Ref created = call_method(self, interned<"create_file">(), filepath.get());
        if (!created) return nullptr;
        const int truth = PyObject_IsTrue(created.get());
        if (truth < 0) return nullptr;
        success_count += truth;
    }
    return PyLong_FromSsize_t(success_count);
}

constexpr Param self_files[] = {{"self", Requires::anything}, {"files", Requires::exact_list}};
constexpr Annotation create_file_annotations[] = {{"filepath", "str"}, {"return", "bool"}};
constexpr Annotation create_files_annotations[] = {{"files", "List[str]"}, {"return", "int"}};

}  // namespace

const FunctionSpec init_spec = {
    .name = "__init__",
    .qualname = "FileCreator.__init__",
    .doc = "FileCreator.__init__(self)",
    .params = parameters(self_only),
    .body = init,
    .where = TESSEL_HERE,
};

const FunctionSpec create_file_spec = {
    .name = "create_file",
    .qualname = "FileCreator.create_file",
    .doc =
        "FileCreator.create_file(self, str filepath: str) -> bool\n"
        "\n"
        "Create a blank file, creating parent directories if needed\n"
        "\n"
        "Args:\n"
        "    filepath: Path to file to create\n"
        "    \n"
        "Returns:\n"
        "    True if successful, False otherwise",
    .params = parameters(self_filepath),
    .annotations = create_file_annotations,
    .body = create_file,
    .where = TESSEL_HERE,
};

const FunctionSpec create_files_spec = {
    .name = "create_files",
    .qualname = "FileCreator.create_files",
    .doc =
        "FileCreator.create_files(self, list files: List[str]) -> int\n"
        "\n"
        "Create multiple files\n"
        "\n"
        "Returns:\n"
        "    Number of successfully created files",
    .params = parameters(self_files),
    .annotations = create_files_annotations,
    .body = create_files,
    .where = TESSEL_HERE,
};

// class FileCreator: its methods, in the order of the class body.
Ref make_file_creator() noexcept {
    const FunctionSpec* const methods[] = {
        &init_spec,        &init_growl_spec, &parse_brace_expansion_spec,
        &create_file_spec, &notify_spec,     &create_files_spec};
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return {};
    if (!set_item(ns.get(), interned<"__module__">(), interned<"tessel.tessel">()) ||
        !set_item(ns.get(), interned<"__qualname__">(), interned<"FileCreator">()) ||
        !set_item(ns.get(), interned<"__doc__">(),
                  interned<"Handles file creation with notification support">()))
        return {};
    for (const FunctionSpec* spec : methods)
        if (!add_function(ns.get(), *spec)) return {};
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return {};
    return call(reinterpret_cast<PyObject*>(&PyType_Type), interned<"FileCreator">(), bases.get(),
                ns.get());
}

}  // namespace tessel
