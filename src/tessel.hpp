// Shared declarations of the tessel extension module: the owning reference
// handle, the strings that the code names, the module's callable type, the
// module state, and the helpers that every area uses.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <type_traits>
#include <utility>

namespace tessel {

// Owns one strong reference.  A null Ref means "an exception is set", as a
// null PyObject* does in the C API.
class Ref {
public:
    Ref() = default;
    // Takes over the reference that the caller owns.
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // A new reference of its own to p, which stays the caller's (Py_XNewRef).
    static Ref new_ref(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

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
    // Everything below is made while the module is executed (the import
    // lock held, so by one thread) and only read afterwards: threads share
    // it without locks, also with no GIL.
    Ref builtins;          // the built-ins dict
    Ref print, open, sum;  // built-ins bound at import
    Ref function_type;
    Ref one;         // the int 1
    Ref strings;     // a list: owns the strings of interned<> and the keyword tuples
    Ref separators;  // ("/", "\\"): what ends a directory prefix
    Ref str_strip;   // str.strip
    Ref gntp_guard;  // the socket class of notify.cpp, when gntp was importable
};

extern State& state;

// Drops every reference of the state and forgets the module.
void release_state() noexcept;

// ---------------------------------------------------------------------------
// Strings that the code names, and other objects made once.
//
// interned<"text">() is the interned str of a literal, written where it is
// used: a string used in one file stays in that file, next to its use.  Each
// literal that the code passes to interned<> is listed when the library is
// loaded, and the strings of the list are made together when the module is
// executed, owned by the state; so while a function of the module runs,
// every one of them is there (never null), and a use costs one load.

// A string literal as a template argument: interned<"mkdir">().
template <std::size_t N>
struct Literal {
    char text[N];
    consteval Literal(const char (&s)[N]) noexcept {  // NOLINT: implicit on purpose
        for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
    }
};

struct InternedString {
    const char* text;
    PyObject* str;  // borrowed from State::strings while the state lives
    InternedString* next;
};

// The list of every literal of interned<>, linked as the library is loaded.
inline constinit InternedString* interned_strings = nullptr;

template <Literal L>
struct InternedEntry {
    static inline constinit InternedString entry{L.text, nullptr, nullptr};
    static inline const bool listed = [] {
        entry.next = interned_strings;
        interned_strings = &entry;
        return true;
    }();
};

template <Literal L>
PyObject* interned() noexcept {
    static_cast<void>(InternedEntry<L>::listed);  // lists the entry: made at execution
    return InternedEntry<L>::entry.str;
}

// Makes the string of every listed literal, the tuple of every listed set of
// keyword names, and the state's other shared objects; false with an
// exception set.
bool make_strings() noexcept;
// Forgets the strings and tuples, before the state that owns them is released.
void forget_strings() noexcept;

// ---------------------------------------------------------------------------
// The module's callable type.  Instances behave like functions defined in a
// class body: they bind to instances through __get__ and are called through
// vectorcall with their parameters checked by one binder.

enum class Requires { anything, exact_str, exact_list };

struct Param {
    const char* name;
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
inline constexpr Param self_only[] = {{"self", Requires::anything}};
inline constexpr Param self_filepath[] = {{"self", Requires::anything},
                                          {"filepath", Requires::exact_str}};

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

// What a function of the module is: its texts as C strings, each made a str
// once, when the function object is made (make_function).
struct FunctionSpec {
    const char* name;
    const char* qualname;
    const char* doc;
    // A function without parameters refuses every argument, as built-in
    // functions without parameters do; one with parameters binds them by
    // position or keyword.
    std::span<const Param> params = {};
    // (parameter name or "return", annotation text), stored as a dict of str.
    std::span<const Annotation> annotations = {};
    Body body;
    // The place that tracebacks show for an exception leaving the function:
    // TESSEL_HERE in the spec, which follows the function's body, so that
    // the line lies in the function's own text however it is laid out.
    Where where;
};

// A new function object for spec (which must outlive it), with the module
// dict as its globals.
Ref make_function(const FunctionSpec& spec) noexcept;
// The function of spec, made and bound in dict under its own name; that name,
// or null with an exception set.
Ref add_function(PyObject* dict, const FunctionSpec& spec) noexcept;
bool init_function_type() noexcept;

// ---------------------------------------------------------------------------
// Helpers shared by the areas.  None of them throws: they report failures
// as the C API does, with an exception set.
//
// The bodies look globals and attributes up at each use, and read one again
// where the behaviour they implement reads it again: a callee may rebind it
// in between, so a second read is never folded into the first.

// A module global: the module namespace, then the built-ins, else NameError.
Ref global(PyObject* name) noexcept;

// Items of containers that other code may change meanwhile (a callee, or
// another thread with no GIL), taken as new references so that what is
// taken stays alive whatever happens to the container.
//
// dict[key]: 1 found (in found), 0 missing, -1 with an exception set.
int dict_item(PyObject* dict, PyObject* key, Ref& found) noexcept;
// list[index] of a list, or null with no exception set once index is past
// its end (the host's own list iteration stops there).
Ref list_item(PyObject* list, Py_ssize_t index) noexcept;

// The truth of a module global, looked up now: 1, 0, or -1 on error.
int truth_of_global(PyObject* name) noexcept;

// print(text) with the built-in print bound at import.
bool print(PyObject* text) noexcept;

// Format obj as f"{obj}" does (an empty format spec) and put the str prefix
// before it and the str suffix after it, in one allocation.
Ref concat_format(PyObject* prefix, PyObject* obj, PyObject* suffix) noexcept;

// The texts (each a str) joined into one new str.
Ref concat(std::initializer_list<PyObject*> texts) noexcept;

// One keyword argument of a call, its name in its type: kw<"exist_ok">(Py_True).
template <Literal L>
struct Keyword {
    PyObject* value;
};

template <Literal L>
constexpr Keyword<L> kw(PyObject* value) noexcept {
    return {value};
}

// The names of a call's keywords, as the tuple that vectorcall takes.  Like
// the strings of interned<>, each tuple that the code names is listed when
// the library is loaded and made with the strings, owned by the state: a
// call passes the same tuple every time, as compiled Python code does.
struct KeywordTuple {
    std::span<PyObject* (*const)() noexcept> names;
    PyObject* tuple;  // borrowed from State::strings while the state lives
    KeywordTuple* next;
};

inline constinit KeywordTuple* keyword_tuples = nullptr;

template <Literal... Ls>
struct KeywordNames {
    static constexpr std::size_t count = sizeof...(Ls);
    static constexpr PyObject* (*names[])() noexcept = {&interned<Ls>...};
    static inline constinit KeywordTuple entry{names, nullptr, nullptr};
    static inline const bool listed = [] {
        entry.next = keyword_tuples;
        keyword_tuples = &entry;
        return true;
    }();
    static PyObject* tuple() noexcept {
        static_cast<void>(listed);  // lists the entry: made at execution
        return entry.tuple;
    }
};

template <>
struct KeywordNames<> {
    static constexpr std::size_t count = 0;
    static PyObject* tuple() noexcept { return nullptr; }
};

namespace calls {

// The vectorcall of target, or with method of self's method named target:
// from args[1] on, the `positional` arguments (self first, if any), then the
// values of the keywords that kwnames names (null for none); args[0] is free
// for the callee to use (PY_VECTORCALL_ARGUMENTS_OFFSET).
Ref vectorcall(PyObject* target, bool method, PyObject** args, std::size_t positional,
               PyObject* kwnames) noexcept;

template <class Item>
constexpr bool is_keyword = false;
template <Literal L>
constexpr bool is_keyword<Keyword<L>> = true;

// Whether every argument is a PyObject* or a kw<>, the positional ones
// first: what a call may be given, checked when it is compiled.
template <class... Items>
consteval bool well_formed() {
    constexpr bool keyword[] = {is_keyword<Items>..., false};
    for (std::size_t i = 1; i < sizeof...(Items); ++i)
        if (keyword[i - 1] && !keyword[i]) return false;
    return ((std::is_same_v<Items, PyObject*> || is_keyword<Items>) && ...);
}

// KeywordNames of the kw<> items of a call, in order.
template <class Names, class... Items>
struct names_of {
    using type = Names;
};
template <Literal... Ls, class... Rest>
struct names_of<KeywordNames<Ls...>, PyObject*, Rest...> : names_of<KeywordNames<Ls...>, Rest...> {
};
template <Literal... Ls, Literal L, class... Rest>
struct names_of<KeywordNames<Ls...>, Keyword<L>, Rest...>
    : names_of<KeywordNames<Ls..., L>, Rest...> {};

inline PyObject* value_of(PyObject* arg) noexcept { return arg; }
template <Literal L>
PyObject* value_of(Keyword<L> arg) noexcept {
    return arg.value;
}

template <class... Items>
Ref call(PyObject* target, bool method, PyObject* self, Items... items) noexcept {
    using Names = typename names_of<KeywordNames<>, Items...>::type;
    PyObject* args[2 + sizeof...(Items)] = {nullptr, self, value_of(items)...};
    PyObject** first = self ? args : args + 1;  // args[0] stays free for the callee
    return vectorcall(target, method, first, sizeof...(Items) + (self ? 1 : 0) - Names::count,
                      Names::tuple());
}

}  // namespace calls

// callable(items...): call(f, a, b, kw<"name">(v)) is f(a, b, name=v).
template <class... Items>
Ref call(PyObject* callable, Items... items) noexcept {
    static_assert(calls::well_formed<Items...>(), "PyObject* arguments, then kw<> ones");
    return calls::call(callable, false, nullptr, items...);
}

// self.name(items...), as call() takes them.
template <class... Items>
Ref call_method(PyObject* self, PyObject* name, Items... items) noexcept {
    static_assert(calls::well_formed<Items...>(), "PyObject* arguments, then kw<> ones");
    return calls::call(name, true, self, items...);
}

Ref getattr(PyObject* obj, PyObject* name) noexcept;

// dict[name] = value; false with an exception set.
bool set_item(PyObject* dict, PyObject* name, PyObject* value) noexcept;

// A new list holding item alone.
Ref list_of(PyObject* item) noexcept;

// Appends the items of an iterable to list, as list.extend does.
bool extend(PyObject* list, PyObject* items) noexcept;

// Whether the exact str text holds the ASCII character c.
bool holds(PyObject* text, char c) noexcept;

// "{" in arg and "}" in arg, the second test only when the first holds:
// whether a file argument holds a brace group.  -1 on error.
int is_brace_argument(PyObject* arg) noexcept;

// Path(arg), with Path looked up now.
Ref make_path(PyObject* arg) noexcept;
// Path(__file__), with Path and then __file__ looked up now.
Ref module_file_path() noexcept;
// Path(__file__).parent, with each name looked up now.
Ref module_directory() noexcept;

// sys.argv, with sys looked up now.
Ref sys_argv() noexcept;
// The helpers that answer a question answer as the C API's own predicates
// do (PyObject_IsTrue): 1 yes, 0 no, -1 with an exception set.
// Is "--debug" one of sys.argv (looked up now)?
int debug_requested() noexcept;
// print(traceback.format_exc()), with traceback looked up now.
bool print_traceback() noexcept;

// Adds a traceback entry for the function of spec at `where` to the pending
// exception, as the host does for each frame an exception passes, so that
// tracebacks show the module's own functions.
void add_traceback(const FunctionSpec& spec, Where where) noexcept;

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

// The handler in the function of spec at `where`, as `except Exception as
// e:`: takes the pending exception, with the function's traceback entry,
// and handles it while alive.
class Handling {
public:
    Handling(const FunctionSpec& spec, Where where) noexcept
        : exc_(take_pending(spec, where)), scope_(exc_.get()) {}
    PyObject* exception() const noexcept { return exc_.get(); }

private:
    static Ref take_pending(const FunctionSpec& spec, Where where) noexcept {
        add_traceback(spec, where);
        return Ref::steal(PyErr_GetRaisedException());
    }
    Ref exc_;
    HandledScope scope_;
};

// True if the pending exception derives from Exception, so that handlers
// that catch only Exception let KeyboardInterrupt and SystemExit through.
inline bool pending_is_exception() noexcept { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

// Every handler of the module, `except Exception as e: handle(e)` in the
// function of spec at `where`: with an exception derived from Exception
// pending, takes it with the function's traceback entry and runs handle(e)
// while it is handled, giving handle's result (false with an exception
// set); with any other exception pending, leaves it so and gives false.
template <class Handle>
bool handle_exception(const FunctionSpec& spec, Where where, Handle handle) noexcept {
    if (!pending_is_exception()) return false;
    Handling handling(spec, where);
    return handle(handling.exception());
}

// print(f"{prefix}{e}"), the line that a handler prints; false with an
// exception set.
bool print_exception(PyObject* prefix, PyObject* e) noexcept;
// The handler that only prints that line.
inline bool handle_and_print(const FunctionSpec& spec, Where where, PyObject* prefix) noexcept {
    return handle_exception(spec, where,
                            [prefix](PyObject* e) { return print_exception(prefix, e); });
}

// ---------------------------------------------------------------------------
// What each area gives the import-time body, and the body itself.

// The class FileCreator, assembled beside its methods (file_creator.cpp).
Ref make_file_creator() noexcept;
// The class that notify.cpp puts on gntp's sockets (state.gntp_guard).
Ref make_gntp_guard() noexcept;
// FileCreator's methods, each defined below its body, in the order of the
// class body (file_creator.cpp, notify.cpp, braces.cpp).
extern const FunctionSpec init_spec, init_growl_spec, parse_brace_expansion_spec, create_file_spec,
    notify_spec, create_files_spec;
// get_version (version.cpp) and main (cli.cpp).
extern const FunctionSpec get_version_spec, main_spec;

// Binds the built-ins that the module takes once; false with an exception set.
bool bind_builtins() noexcept;
// The import-time body, in order; false with an exception set.
bool run_import_body() noexcept;

}  // namespace tessel
