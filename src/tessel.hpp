// Shared declarations of the tessel extension module: the owning reference
// handle, the module's callable type, module state and interned names.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
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
    X(get_version, "get_version") X(dunder_version, "__version__")           \
    X(dunder_filename, "__filename__") X(FileCreator, "FileCreator")         \
    X(main, "main") X(dunder_test, "__test__") X(dunder_name, "__name__")    \
    X(dunder_file, "__file__") X(dunder_module, "__module__")                \
    X(dunder_qualname, "__qualname__") X(dunder_doc, "__doc__")              \
    X(dunder_init, "__init__") X(_init_growl, "_init_growl")                 \
    X(parse_brace_expansion, "parse_brace_expansion")                        \
    X(create_file, "create_file") X(_notify, "_notify")                      \
    X(create_files, "create_files") X(self, "self") X(text, "text")          \
    X(filepath, "filepath") X(files, "files")                                \
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
    X(add_note, "add_note") X(dunder_enter, "__enter__")                     \
    X(dunder_exit, "__exit__") X(ArgumentParser, "ArgumentParser")           \
    X(add_argument, "add_argument") X(parse_args, "parse_args")              \
    X(print_help, "print_help")                                              \
    X(lbrace, "{") X(rbrace, "}") X(comma, ",") X(slash, "/")                \
    X(backslash, "\\") X(equals, "=") X(dquote, "\"") X(squote, "'")         \
    X(empty, "") X(blank, " ") X(debug_flag, "--debug")                      \
    X(created_line, "\xE2\x9C\x93 File created: \"")                         \
    X(version_file, "__version__.py") X(icon_file, "tessel.jpg")             \
    X(TRACEBACK, "TRACEBACK") X(read_mode, "r") X(main_name, "__main__")     \
    X(module_name, "tessel.tessel") X(version_word, "version")               \
    X(program, "tessel") X(create_type, "create")                            \
    X(applicationName, "applicationName") X(notifications, "notifications")  \
    X(defaultNotifications, "defaultNotifications")                          \
    X(applicationIcon, "applicationIcon") X(noteType, "noteType")            \
    X(title, "title") X(description, "description") X(icon, "icon")          \
    X(sticky, "sticky") X(priority, "priority") X(pattern_,                  \
    "([^{]*)\\{([^}]+)\\}([^{]*)")

// Borrowed: the strings are owned by State::name_table.
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

// The binder's buffer holds this many parameters; parameters() refuses a
// longer list when it is compiled.
constexpr std::size_t max_params = 2;

template <std::size_t N>
consteval std::span<const Param> parameters(const Param (&list)[N]) {
    static_assert(N <= max_params, "raise max_params for this parameter list");
    return list;
}

// Parameter lists that several methods share.
inline constexpr Param self_only[] = {{&Names::self, Requires::anything}};
inline constexpr Param self_filepath[] = {{&Names::self, Requires::anything},
                                          {&Names::filepath, Requires::exact_str}};

// The body receives the bound parameters, all borrowed and in order, and
// returns a new reference or null with an exception set.  It is called from
// the interpreter's C frames, so it may not throw.
using Body = PyObject* (*)(PyObject* const* params) noexcept;

// A place in the sources, for traceback entries.
struct Where {
    const char* file;
    int line;
};
#define TESSEL_HERE (::tessel::Where{__FILE__, __LINE__})

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
    // The place that tracebacks show for the function.
    Where where;
};

// A new function object for spec (which must outlive it), with the module
// dict as its globals.
Ref make_function(const FunctionSpec& spec) noexcept;
bool init_function_type() noexcept;

// ---------------------------------------------------------------------------
// Module state.  One module object is live per process at a time (a second
// import gets the first object back; another interpreter is refused), so
// the state is a single static.  It belongs to the interpreter that
// imported the module and is released when that interpreter is finalised,
// or when the import fails.

struct State {
    PyObject* module = nullptr;   // borrowed: the interpreter's dict owns it
    PyObject* globals = nullptr;  // borrowed from module
    bool executed = false;        // the body has run (or is running)
    std::int64_t interpreter = -1;
    Ref builtins;                 // the built-ins dict
    Ref print, open, sum;         // built-ins bound at import
    Ref function_type;
    // Keyword-name tuples for calls made with keywords.
    Ref kw_mkdir;     // (parents, exist_ok)
    Ref kw_touch;     // (exist_ok,)
    Ref kw_growl_notifier;
    Ref kw_notify;
    Ref one;          // the int 1
    Ref separators;   // ("/", "\\")
    Ref str_strip;    // str.strip, looked up at first use
    Ref name_table;   // owns every string of names
    Names names{};
};

extern State& state;
inline const Names& names() noexcept { return state.names; }

// Drops every reference of the state and forgets the module.
void release_state() noexcept;

// ---------------------------------------------------------------------------
// Helpers shared by the areas.  None of them throws: they report failures
// as the C API does, with an exception set.

// A module global: the module namespace, then the built-ins, else NameError.
Ref global(PyObject* name) noexcept;

// The truth of a module global, looked up now; -1 on error.
int truth_of_global(PyObject* name) noexcept;

// print(text) with the built-in print bound at import.
bool print(PyObject* text) noexcept;
bool print(const char* utf8) noexcept;

// Format obj as f"{obj}" does (an empty format spec) and append it to
// prefix, then append suffix (either may be null).
Ref concat_format(const char* prefix, PyObject* obj, const char* suffix = nullptr) noexcept;
// The same with prefix and suffix given as str objects: one allocation, no
// decoding, for the lines printed per file.
Ref concat_format(PyObject* prefix, PyObject* obj, PyObject* suffix) noexcept;

// The texts (each a str) joined into one new str.
Ref concat(std::initializer_list<PyObject*> texts) noexcept;

Ref call(PyObject* callable, std::initializer_list<PyObject*> args,
         PyObject* kwnames = nullptr) noexcept;
Ref call_method(PyObject* self, PyObject* name,
                std::initializer_list<PyObject*> args = {},
                PyObject* kwnames = nullptr) noexcept;
Ref getattr(PyObject* obj, PyObject* name) noexcept;

// A new list holding item alone.
inline Ref list_of(PyObject* item) noexcept {
    Ref list = Ref::steal(PyList_New(1));
    if (list) PyList_SET_ITEM(list.get(), 0, Py_NewRef(item));
    return list;
}

// Path(arg), with Path looked up now.
Ref make_path(PyObject* arg) noexcept;
// Path(__file__), with Path and then __file__ looked up now.
Ref module_file_path() noexcept;

// Is "--debug" one of sys.argv (sys looked up now)?  -1 on error.
int debug_requested() noexcept;

// Adds a traceback entry for `function` at `where` to the pending
// exception, as the host does for each frame an exception passes, so that
// tracebacks show the module's own functions.
void add_traceback(const char* function, Where where) noexcept;

// While alive, makes exc the exception being handled, as an `except` clause
// does: an exception raised meanwhile gets it as its __context__, and
// traceback.format_exc() sees it.  Restores the previously handled exception
// on the way out.
class HandledScope {
public:
    explicit HandledScope(PyObject* exc) noexcept
        : previous_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc);
    }
    ~HandledScope() { PyErr_SetHandledException(previous_.get()); }
    HandledScope(const HandledScope&) = delete;
    HandledScope& operator=(const HandledScope&) = delete;

private:
    Ref previous_;
};

// The handler of `function` at `where`: takes the pending exception, with
// the function's traceback entry, and handles it while alive.
class Handling {
public:
    Handling(const char* function, Where where) noexcept
        : exc_(take_pending(function, where)), scope_(exc_.get()) {}
    PyObject* exception() const noexcept { return exc_.get(); }

private:
    static Ref take_pending(const char* function, Where where) noexcept {
        add_traceback(function, where);
        return Ref::steal(PyErr_GetRaisedException());
    }
    Ref exc_;
    HandledScope scope_;
};

// True if the pending exception derives from Exception, so that handlers
// that catch only Exception let KeyboardInterrupt and SystemExit through.
inline bool pending_is_exception() noexcept {
    return PyErr_ExceptionMatches(PyExc_Exception) != 0;
}

// ---------------------------------------------------------------------------
// Function specs of each area.

extern const FunctionSpec get_version_spec;
extern const FunctionSpec main_spec;
extern const FunctionSpec init_spec;
extern const FunctionSpec init_growl_spec;
extern const FunctionSpec parse_brace_expansion_spec;
extern const FunctionSpec create_file_spec;
extern const FunctionSpec notify_spec;
extern const FunctionSpec create_files_spec;

}  // namespace tessel
