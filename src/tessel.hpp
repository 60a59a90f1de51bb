// Shared declarations of the tessel extension module: the owning reference
// handle, the module's callable type, module state and interned names.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <source_location>
#include <span>
#include <utility>

namespace tessel {

// Owns one strong reference.  A null Ref means "an exception is set", as a
// null PyObject* does in the C API.
class Ref {
public:
    Ref() = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept { Py_XINCREF(p); return Ref(p); }

    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref old(std::exchange(p_, std::exchange(other.p_, nullptr)));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// ---------------------------------------------------------------------------
// Interned names, made once when the module is executed.  Each entry is
// (C++ identifier, text).
#define TESSEL_NAMES(X)                                                      \
    X(sys, "sys") X(os, "os") X(re, "re") X(traceback, "traceback")          \
    X(pathlib, "pathlib") X(Path, "Path") X(typing, "typing")                \
    X(List, "List") X(Tuple, "Tuple") X(Optional, "Optional")                \
    X(argparse, "argparse") X(quorlin, "quorlin")                            \
    X(CustomRichHelpFormatter, "CustomRichHelpFormatter")                    \
    X(RawTextHelpFormatter, "RawTextHelpFormatter")                          \
    X(clipboard, "clipboard") X(HAS_CLIPBOARD, "HAS_CLIPBOARD")              \
    X(gntp, "gntp") X(gntp_notifier, "gntp.notifier")                        \
    X(HAS_GROWL, "HAS_GROWL") X(NAME, "NAME")                                \
    X(get_version, "get_version") X(__version__, "__version__")              \
    X(__filename__, "__filename__") X(FileCreator, "FileCreator")            \
    X(main, "main") X(__test__, "__test__") X(__name__, "__name__")          \
    X(__file__, "__file__") X(__module__, "__module__")                      \
    X(__qualname__, "__qualname__") X(__doc__, "__doc__")                    \
    X(__init__, "__init__") X(_init_growl, "_init_growl")                    \
    X(parse_brace_expansion, "parse_brace_expansion")                        \
    X(create_file, "create_file") X(_notify, "_notify")                      \
    X(create_files, "create_files") X(self, "self") X(text, "text")          \
    X(filepath, "filepath") X(files, "files") X(return_, "return")           \
    X(parent, "parent") X(name, "name") X(is_file, "is_file")                \
    X(exists, "exists") X(as_uri, "as_uri") X(absolute, "absolute")          \
    X(mkdir, "mkdir") X(touch, "touch") X(utime, "utime")                    \
    X(parents, "parents") X(exist_ok, "exist_ok") X(strip, "strip")          \
    X(split, "split") X(startswith, "startswith") X(endswith, "endswith")    \
    X(search, "search") X(group, "group") X(extend, "extend")                \
    X(getenv, "getenv") X(format_exc, "format_exc") X(argv, "argv")          \
    X(exit, "exit") X(copy, "copy") X(notifier, "notifier")                  \
    X(GrowlNotifier, "GrowlNotifier") X(register_, "register")               \
    X(notify, "notify") X(icon_path, "icon_path") X(growl, "growl")          \
    X(add_note, "add_note") X(__enter__, "__enter__")                        \
    X(__exit__, "__exit__") X(ArgumentParser, "ArgumentParser")              \
    X(add_argument, "add_argument") X(parse_args, "parse_args")              \
    X(print_help, "print_help")                                              \
    X(lbrace, "{") X(rbrace, "}") X(comma, ",") X(slash, "/")                \
    X(backslash, "\\") X(equals, "=") X(dquote, "\"") X(squote, "'")        \
    X(empty, "") X(blank, " ") X(debug_flag, "--debug")                      \
    X(created_line, "\u2713 File created: \"")                               \
    X(version_file, "__version__.py") X(icon_file, "tessel.jpg")             \
    X(TRACEBACK, "TRACEBACK") X(read_mode, "r") X(main_name, "__main__")     \
    X(module_name, "tessel.tessel") X(version_word, "version")              \
    X(program, "tessel") X(create_type, "create")                           \
    X(applicationName, "applicationName") X(notifications, "notifications")  \
    X(defaultNotifications, "defaultNotifications")                          \
    X(applicationIcon, "applicationIcon") X(noteType, "noteType")            \
    X(title, "title") X(description, "description") X(icon, "icon")         \
    X(sticky, "sticky") X(priority, "priority") X(pattern_,                  \
    "([^{]*)\\{([^}]+)\\}([^{]*)")

struct Names {
#define TESSEL_DECLARE_NAME(id, text) PyObject* id;
    TESSEL_NAMES(TESSEL_DECLARE_NAME)
#undef TESSEL_DECLARE_NAME
};

// ---------------------------------------------------------------------------
// The module's callable type.  Instances behave like functions defined in a
// class body: they bind to instances through __get__ and are called through
// vectorcall with their parameters checked by one binder.

enum class Requires { anything, exact_str, exact_list };

struct Param {
    PyObject* Names::*name;
    Requires type;
};

struct Annotation {
    const char* name;
    const char* text;
};

constexpr std::size_t max_params = 2;

// Parameter lists that several methods share.
inline constexpr Param self_only[] = {{&Names::self, Requires::anything}};
inline constexpr Param self_filepath[] = {{&Names::self, Requires::anything},
                                          {&Names::filepath, Requires::exact_str}};

// The body receives the bound parameters, all borrowed and in order, and
// returns a new reference or null with an exception set.
using Body = PyObject* (*)(PyObject* const* params);

struct FunctionSpec {
    const char* name;
    const char* qualname;
    const char* doc;
    // A function without parameters refuses every argument, as built-in
    // functions without parameters do; one with parameters binds them by
    // position or keyword.
    std::span<const Param> params;
    // (parameter name or "return", annotation text), stored as a dict of str.
    std::span<const Annotation> annotations;
    Body body;
    // Where the spec is written: the place that tracebacks show for the
    // function.
    std::source_location where = std::source_location::current();
};

// A new function object for spec (which must outlive it), with the module
// dict as its globals.
Ref make_function(const FunctionSpec& spec);
int init_function_type();

// ---------------------------------------------------------------------------
// Module state.  Only one module object exists per process (a second import
// gets the first object back), so the state is a single static.

struct State {
    PyObject* module = nullptr;    // strong: the one module object
    PyObject* globals = nullptr;   // borrowed from module
    PyObject* builtins = nullptr;  // strong: the built-ins dict
    PyObject* print = nullptr;     // strong: built-ins bound at import
    PyObject* open = nullptr;
    PyObject* sum = nullptr;
    PyTypeObject* function_type = nullptr;
    // Keyword-name tuples for calls made with keywords.
    PyObject* kw_mkdir = nullptr;     // (parents, exist_ok)
    PyObject* kw_touch = nullptr;     // (exist_ok,)
    PyObject* kw_growl_notifier = nullptr;
    PyObject* kw_notify = nullptr;
    PyObject* one = nullptr;          // the int 1
    PyObject* separators = nullptr;   // ("/", "\\")
    PyObject* str_strip = nullptr;    // str.strip, looked up at first use
    Names names{};
};

extern State state;
inline const Names& names() { return state.names; }

// ---------------------------------------------------------------------------
// Helpers shared by the areas.

// A module global: the module namespace, then the built-ins, else NameError.
Ref global(PyObject* name);

// The truth of a module global, looked up now; -1 on error.
int truth_of_global(PyObject* name);

// print(text) with the built-in print bound at import.
bool print(PyObject* text);
bool print(const char* utf8);

// Format obj as f"{obj}" does (an empty format spec) and append it to
// prefix, then append suffix (either may be null).
Ref concat_format(const char* prefix, PyObject* obj, const char* suffix = nullptr);
// The same with prefix and suffix given as str objects: one allocation, no
// decoding, for the lines printed per file.
Ref concat_format(PyObject* prefix, PyObject* obj, PyObject* suffix);

// The texts (each a str) joined into one new str.
Ref concat(std::initializer_list<PyObject*> texts);

Ref call(PyObject* callable, std::initializer_list<PyObject*> args,
         PyObject* kwnames = nullptr);
Ref call_method(PyObject* self, PyObject* name,
                std::initializer_list<PyObject*> args = {},
                PyObject* kwnames = nullptr);
Ref getattr(PyObject* obj, PyObject* name);

// What `obj.name` is for the instances of one type, remembered by one call
// site while nothing can have changed it: the type keeps the version tag
// recorded here (the host gives a type a new tag whenever it or one of its
// bases changes), its instances have no dictionary that could hide the
// name, and the name is a plain function of the type, which binds as a
// method.  The host's own attribute caches rest on the same rule.
struct MethodCache {
    PyTypeObject* type = nullptr;  // compared only
    unsigned int version = 0;
    PyObject* function = nullptr;  // strong; null: look the name up each call
};

// self.name(*args), with the lookup remembered in cache where it may be;
// otherwise exactly call_method.
Ref call_method(MethodCache& cache, PyObject* self, PyObject* name,
                std::initializer_list<PyObject*> args = {},
                PyObject* kwnames = nullptr);

// A new list holding item alone.
inline Ref list_of(PyObject* item) {
    Ref list = Ref::steal(PyList_New(1));
    if (list) PyList_SET_ITEM(list.get(), 0, Py_NewRef(item));
    return list;
}

// Path(arg), with Path looked up now.
Ref make_path(PyObject* arg);
// Path(__file__), with Path and then __file__ looked up now.
Ref module_file_path();

// Is "--debug" one of sys.argv (sys looked up now)?  -1 on error.
int debug_requested();

// Adds a traceback entry for `function` at `where` to the pending
// exception, as the host does for each frame an exception passes, so that
// tracebacks show the module's own functions.
void add_traceback(const char* function, const std::source_location& where);

// While alive, makes the pending exception the one being handled, as an
// `except` clause does, so that traceback.format_exc() sees it; restores
// the previously handled exception on the way out.
class Handling {
public:
    explicit Handling(const char* function,
                      const std::source_location& where = std::source_location::current()) {
        add_traceback(function, where);
        exc_ = Ref::steal(PyErr_GetRaisedException());
        previous_ = Ref::steal(PyErr_GetHandledException());
        PyErr_SetHandledException(exc_.get());
    }
    ~Handling() { PyErr_SetHandledException(previous_.get()); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;
    PyObject* exception() const { return exc_.get(); }

private:
    Ref exc_;
    Ref previous_;
};

// True if the pending exception derives from Exception, so that handlers
// that catch only Exception let KeyboardInterrupt and SystemExit through.
inline bool pending_is_exception() {
    return PyErr_ExceptionMatches(PyExc_Exception) != 0;
}

// ---------------------------------------------------------------------------
// Function specs of each area, and the module's execution step.

extern const FunctionSpec get_version_spec;
extern const FunctionSpec main_spec;
extern const FunctionSpec init_spec;
extern const FunctionSpec init_growl_spec;
extern const FunctionSpec parse_brace_expansion_spec;
extern const FunctionSpec create_file_spec;
extern const FunctionSpec notify_spec;
extern const FunctionSpec create_files_spec;

}  // namespace tessel
